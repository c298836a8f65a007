#include "InfoFile.h"

#include <glib.h>

#include <cstring>
#include <map>
#include <vector>

#include "SWUpgradeInterface.h"

namespace qzcli {

namespace {

constexpr const char* kSoftwareId = "software_id";
constexpr const char* kFileName = "file_name";
constexpr const char* kVersion = "software_version";
constexpr const char* kFileSize = "file_size";
constexpr const char* kElements[] = {kSoftwareId, kFileName, kVersion, kFileSize};

// Text of the first element of each wanted name, at any depth, as the
// markup parser reads it (entities decoded, character data unwrapped).
struct Collector {
    std::vector<std::string> open;  // names of the open elements
    std::map<std::string, std::string> found;
    std::map<std::string, bool> done;
};

bool Wanted(const char* name)
{
    for (const char* element : kElements)
        if (strcmp(element, name) == 0)
            return true;
    return false;
}

void OnStart(GMarkupParseContext*, const gchar* name, const gchar**, const gchar**, gpointer data,
             GError**)
{
    auto* c = static_cast<Collector*>(data);
    c->open.emplace_back(name);
    if (Wanted(name) && !c->found.count(name))
        c->found[name] = "";
}

void OnEnd(GMarkupParseContext*, const gchar* name, gpointer data, GError**)
{
    auto* c = static_cast<Collector*>(data);
    c->done.emplace(name, true);
    c->open.pop_back();
}

void OnText(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**)
{
    auto* c = static_cast<Collector*>(data);
    if (c->open.empty() || !c->found.count(c->open.back()) || c->done.count(c->open.back()))
        return;
    c->found[c->open.back()].append(text, length);
}

std::string Trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// 1 to 4294967295, decimal digits only (white space around is allowed, as
// the library's number reading skips it).
std::optional<uint32_t> ParseSize(const std::string& text)
{
    std::string digits = Trimmed(text);
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned long long value = std::stoull(digits);
    if (value == 0 || value > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<InfoFile> ParseInfoFile(const std::string& content, std::string& problem)
{
    Collector collector;
    GMarkupParser parser = {OnStart, OnEnd, OnText, nullptr, nullptr};
    g_autoptr(GMarkupParseContext) context =
        g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &collector, nullptr);
    g_autoptr(GError) error = nullptr;
    bool parsed = g_markup_parse_context_parse(context, content.data(),
                                               static_cast<gssize>(content.size()), &error) &&
                  g_markup_parse_context_end_parse(context, &error);
    if (!parsed) {
        problem = std::string("not well-formed: ") + error->message;
        return std::nullopt;
    }
    for (const char* required : {kFileName, kVersion, kFileSize}) {
        if (Trimmed(collector.found[required]).empty()) {
            problem = std::string("no <") + required + "> with a value";
            return std::nullopt;
        }
    }
    // The library finds each element by plain text search: entities stay
    // undecoded and an earlier element whose name starts alike is taken.
    // What it would send must be what the file says.
    for (const char* element : kElements) {
        std::string libraryReads = GetContextbyTag(content, element, true);
        if (libraryReads != collector.found[element]) {
            problem = std::string("<") + element + "> would be sent as '" + libraryReads +
                      "' instead of '" + collector.found[element] +
                      "' (entities, or an element whose name begins the same)";
            return std::nullopt;
        }
    }
    std::optional<uint32_t> size = ParseSize(collector.found[kFileSize]);
    if (!size) {
        problem = "<file_size> must be a whole number from 1 to 4294967295, not '" +
                  Trimmed(collector.found[kFileSize]) + "'";
        return std::nullopt;
    }
    return InfoFile{collector.found[kSoftwareId], collector.found[kFileName],
                    collector.found[kVersion], *size};
}

}  // namespace qzcli
