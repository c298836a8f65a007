// Subcommands that ask the daemon to do something: submit, submit-info,
// notify, cabinet and check-version.
#include <glib.h>
#include <system_info.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "Commands.h"
#include "InfoFile.h"
#include "SWUContract.h"
#include "UserFile.h"

namespace qzcli {

namespace {

constexpr long long kMaxFileSize = std::numeric_limits<uint32_t>::max();
// An information file is a few lines of markup; anything near this size is
// the wrong file.
constexpr size_t kMaxInfoFileSize = 1024 * 1024;

struct NamedValue {
    const char* name;
    int value;
};

const NamedValue kTypeNames[] = {
    {"none", SWU_TYPE_NONE},
    {"main", SWU_TYPE_MAIN},
    {"model-a", SWU_TYPE_MODEL_A},
    {"model-b", SWU_TYPE_MODEL_B},
    {"model-c", SWU_TYPE_MODEL_C},
    {"image", SWU_TYPE_IMAGE},
    {"fpga", SWU_TYPE_FPGA},
    {"cal", SWU_TYPE_CAL},
    {"player", SWU_TYPE_LUMORA_PLAYER},
    {"bypass", SWU_TYPE_BYPASS},
};

const NamedValue kRequesterNames[] = {
    {"jor", SWU_PROCESS_JOR}, {"kav", SWU_PROCESS_KAV},         {"url", SWU_PROCESS_URL},
    {"ota", SWU_PROCESS_OTA}, {"jor-aux", SWU_PROCESS_JOR_AUX}, {"kav-aux", SWU_PROCESS_KAV_AUX},
};

// A name from the table, or any 32-bit number.
template <size_t N>
int ParseNamed(const std::string& text, const NamedValue (&table)[N], const char* what)
{
    for (const auto& entry : table)
        if (text == entry.name)
            return entry.value;
    std::string known;
    for (const auto& entry : table)
        known += std::string(known.empty() ? "" : ", ") + entry.name;
    try {
        return static_cast<int>(ParseInteger(text, what, std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max()));
    } catch (const UsageError&) {
        throw UsageError(std::string(what) + " '" + text + "' is neither a number nor one of " +
                         known);
    }
}

// ------------------------------------------------------------------ submit

const char kSubmitHelp[] =
    "Usage: qz-swu submit --file NAME --version VERSION --size BYTES\n"
    "                     (--url URL | --cabinet ID) [--type TYPE] [--requester WHO]\n"
    "                     [--software-id ID] [--json] [--verbose]\n"
    "\n"
    "Submits an upgrade request to the upgrade daemon.\n"
    "\n"
    "  --file NAME         name (path) of the upgrade file\n"
    "  --version VERSION   version text of the offered software\n"
    "  --size BYTES        size of the upgrade file, 1 to 4294967295\n"
    "  --url URL           the daemon downloads the file from URL\n"
    "  --cabinet ID        the file is for cabinet ID; the daemon's current offset\n"
    "                      is printed after the request is accepted\n"
    "  --type TYPE         kind of upgrade: a number or none, main, model-a, model-b,\n"
    "                      model-c, image, fpga, cal, player, bypass (default: none,\n"
    "                      the library classifies the file name and version)\n"
    "  --requester WHO     requester: a number or jor, kav, url, ota, jor-aux, kav-aux\n"
    "                      (default: url with --url, kav with --cabinet)\n"
    "  --software-id ID    software identifier passed to the daemon\n"
    "\n"
    "With none of --type, --requester and --software-id the library's own URL or\n"
    "cabinet form is used; with any of them the full request record is filled.\n"
    "\n"
    "Exit status: 0 accepted, 1 not accepted (see the message), 2 usage error.\n";

struct SubmitArgs {
    std::string file, version, url, cabinet, softwareId;
    long long size = -1;
    std::optional<int> type, requester;
    bool haveUrl = false, haveCabinet = false;

    bool NeedsRecord() const { return type || requester || !softwareId.empty(); }
};

SubmitArgs ParseSubmit(int argc, char** argv, GlobalOptions& global)
{
    enum { kFile = 1, kVersion, kSize, kUrl, kCabinet, kType, kRequester, kSoftwareId };
    SubmitArgs a;
    auto rest = ParseArguments(argc, argv,
                               {{"file", true, kFile},
                                {"version", true, kVersion},
                                {"size", true, kSize},
                                {"url", true, kUrl},
                                {"cabinet", true, kCabinet},
                                {"type", true, kType},
                                {"requester", true, kRequester},
                                {"software-id", true, kSoftwareId}},
                               global, kSubmitHelp, [&](int key, const char* arg) {
                                   switch (key) {
                                   case kFile: a.file = arg; break;
                                   case kVersion: a.version = arg; break;
                                   case kSize:
                                       a.size = ParseInteger(arg, "--size", 1, kMaxFileSize);
                                       break;
                                   case kUrl:
                                       a.url = arg;
                                       a.haveUrl = true;
                                       break;
                                   case kCabinet:
                                       a.cabinet = arg;
                                       a.haveCabinet = true;
                                       break;
                                   case kType:
                                       a.type = ParseNamed(arg, kTypeNames, "--type");
                                       break;
                                   case kRequester:
                                       a.requester =
                                           ParseNamed(arg, kRequesterNames, "--requester");
                                       break;
                                   case kSoftwareId: a.softwareId = arg; break;
                                   }
                               });
    ExpectPositionals(rest, 0, "");
    if (a.file.empty())
        throw UsageError("missing --file NAME");
    if (a.version.empty())
        throw UsageError("missing --version VERSION");
    if (a.size < 0)
        throw UsageError("missing --size BYTES");
    if (a.haveUrl == a.haveCabinet)
        throw UsageError("give exactly one of --url URL and --cabinet ID");
    if (a.haveUrl && a.url.empty())
        throw UsageError("--url needs a non-empty address");
    return a;
}

stSWUpgradeInfo RecordFrom(const SubmitArgs& a)
{
    stSWUpgradeInfo info;
    info.szSoftwareID = a.softwareId;
    info.szFileName = a.file;
    info.szSWVersion = a.version;
    info.lTotalBytes = static_cast<uint32_t>(a.size);
    info.bIsURL = a.haveUrl;
    info.szURL = a.url;
    info.szCabinetID = a.cabinet;
    info.nUpgradeType = static_cast<eSWUpgradeType>(a.type.value_or(SWU_TYPE_NONE));
    int defaultRequester = a.haveUrl ? SWU_PROCESS_URL : SWU_PROCESS_KAV;
    info.nProductType = static_cast<eSWUpgradeProcess>(a.requester.value_or(defaultRequester));
    return info;
}

}  // namespace

int RunSubmit(int argc, char** argv, GlobalOptions global)
{
    SubmitArgs a = ParseSubmit(argc, argv, global);
    Context ctx("submit", global);
    Client& client = ctx.Daemon();

    nlohmann::json fields = {{"file", a.file}, {"version", a.version}, {"size", a.size}};
    std::string summary = a.file + " " + a.version + " (" + std::to_string(a.size) + " bytes)";
    if (a.haveUrl) {
        fields["url"] = a.url;
        summary += " to be downloaded from " + a.url;
    } else {
        fields["cabinet"] = a.cabinet;
        summary += " for cabinet " + a.cabinet;
    }
    if (auto failed = ctx.RequireDaemon("request " + summary + " not sent", fields))
        return *failed;

    if (a.NeedsRecord()) {
        stSWUpgradeInfo info = RecordFrom(a);
        eSWUpgradeProcess asked = info.nProductType;
        fields["form"] = "record";
        if (!client.SoftwareUpdate(&info))
            return ctx.Explain("request " + summary + " not accepted", asked, fields);
        // The library replaces the requester with the one it settled on.
        fields["requester"] = static_cast<int>(info.nProductType);
        return ctx.Done(fields,
                        {"submitted " + summary, "requester " + std::to_string(info.nProductType)});
    }
    if (a.haveUrl) {
        fields["form"] = "url";
        if (!client.SoftwareUpdate(a.file, a.size, a.version, a.url))
            return ctx.Explain("request " + summary + " not accepted", SWU_PROCESS_URL, fields);
        return ctx.Done(fields, {"submitted " + summary});
    }
    fields["form"] = "cabinet";
    long long offset = -1;
    if (!client.SoftwareUpdate(a.file, a.size, a.version, offset, a.cabinet))
        return ctx.Explain("request " + summary + " not accepted", SWU_PROCESS_KAV, fields);
    fields["offset"] = offset;
    return ctx.Done(fields, {"submitted " + summary, "offset " + std::to_string(offset)});
}

// ------------------------------------------------------------- submit-info

namespace {

const char kSubmitInfoHelp[] =
    "Usage: qz-swu submit-info NAME FILE [--json] [--verbose]\n"
    "\n"
    "Submits the upgrade described by the information FILE, a small XML text with\n"
    "the elements file_name, software_version and file_size (1 to 4294967295)\n"
    "and, optionally, software_id, at any depth. NAME is the software's name;\n"
    "\"Player Application\" makes it a player upgrade while the device is in\n"
    "player mode. A FILE that is not well-formed or lacks one of the three\n"
    "elements is refused before anything is sent.\n"
    "\n"
    "Exit status: 0 accepted, 1 not accepted (see the message), 2 usage error\n"
    "(including an unreadable or unusable FILE).\n";

}  // namespace

int RunSubmitInfo(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kSubmitInfoHelp, [](int, const char*) {});
    ExpectPositionals(rest, 2, "NAME and FILE");
    const std::string& name = rest[0];
    const std::string& path = rest[1];
    // The library submits an unreadable or garbled file as an empty request;
    // catch that here, where the user can still fix it.
    std::string content = ReadSmallRegularFile(path, "information file", kMaxInfoFileSize);
    std::string error;
    std::optional<InfoFile> info = ParseInfoFile(content, error);
    if (!info)
        throw UsageError("information file " + path + ": " + error);

    Context ctx("submit-info", global);
    nlohmann::json fields = {
        {"name", name},           {"info_file", path},        {"software_id", info->softwareId},
        {"file", info->fileName}, {"version", info->version}, {"size", info->size}};
    std::string summary = "'" + name + "' from " + path;
    if (auto failed = ctx.RequireDaemon("request " + summary + " not sent", fields))
        return *failed;
    if (!ctx.Daemon().SoftwareUpdate(name, path, "", ""))
        return ctx.Explain("request " + summary + " not accepted", SWU_PROCESS_JOR, fields);
    return ctx.Done(fields, {"submitted " + summary + ": file " + info->fileName + ", version " +
                             info->version + ", size " + std::to_string(info->size)});
}

// ------------------------------------------------------------------ notify

namespace {

const char kNotifyHelp[] =
    "Usage: qz-swu notify [--json] [--verbose]\n"
    "\n"
    "Tells the daemon that the last upgrade result has been taken note of: from\n"
    "then on 'qz-swu status' shows Idle instead of that result.\n"
    "\n"
    "An unacknowledged result does not hold back most submissions: they are\n"
    "accepted once the daemon says it is idle. It does hold back a JOR request\n"
    "(submit-info, or submit with requester jor) after a result of a JOR\n"
    "request, and any request while the daemon does not say that it is idle;\n"
    "the refusal then has the reason busy and names this command.\n"
    "\n"
    "Exit status: 0 accepted, 1 not accepted (see the message), 2 usage error.\n";

}  // namespace

int RunNotify(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kNotifyHelp, [](int, const char*) {});
    ExpectPositionals(rest, 0, "");
    Context ctx("notify", global);
    if (auto failed = ctx.RequireDaemon("acknowledgement not sent"))
        return *failed;
    if (!ctx.Daemon().NotifySWUpdateResult())
        return ctx.Explain("acknowledgement of the last result not accepted", std::nullopt);
    return ctx.Done({}, {"last result acknowledged"});
}

// ----------------------------------------------------------------- cabinet

namespace {

const char kCabinetHelp[] =
    "Usage: qz-swu cabinet progress N [--json] [--verbose]\n"
    "       qz-swu cabinet complete N [--json] [--verbose]\n"
    "\n"
    "Reports the progress (progress) or the completion value (complete) of a\n"
    "cabinet upgrade to the daemon. N is a 32-bit number, negative ones\n"
    "included (qz-swu cabinet complete -1).\n"
    "\n"
    "Exit status: 0 accepted, 1 not accepted (see the message), 2 usage error.\n";

}  // namespace

int RunCabinet(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kCabinetHelp, [](int, const char*) {});
    ExpectPositionals(rest, 2, "progress|complete and N");
    const std::string& what = rest[0];
    if (what != "progress" && what != "complete")
        throw UsageError("expected progress or complete, not '" + what + "'");
    int value = static_cast<int>(ParseInteger(rest[1], "N", std::numeric_limits<int32_t>::min(),
                                              std::numeric_limits<int32_t>::max()));

    Context ctx("cabinet", global);
    Client& client = ctx.Daemon();
    nlohmann::json fields = {{"report", what}, {"value", value}};
    std::string summary = "cabinet " + what + " " + std::to_string(value);
    if (auto failed = ctx.RequireDaemon(summary + " not sent", fields))
        return *failed;
    bool accepted = what == "progress" ? client.CabinetUpgradeProgress(value)
                                       : client.OnCabinetUpgradeComplete(value);
    if (!accepted)
        return ctx.Explain(summary + " not accepted", std::nullopt, fields);
    return ctx.Done(fields, {summary + " reported"});
}

// ----------------------------------------------------------- check-version

namespace {

const char kCheckVersionHelp[] =
    "Usage: qz-swu check-version MODEL VERSION [--json] [--verbose]\n"
    "\n"
    "Tells whether VERSION (MAJOR.MINOR, decimal) offered for MODEL is newer than\n"
    "the installed software, i.e. whether an OTA upgrade is required. The\n"
    "installed version comes from the system-information service (QZ_SW_VERSION\n"
    "with the stand-in platform), as MODEL-MAJOR.MINOR. An offer for another\n"
    "model is never required; version 0.0 for the installed model always is.\n"
    "While another upgrade is in the way there is no answer (reason busy).\n"
    "\n"
    "Exit status, in the manner of dpkg's version comparison: 0 VERSION is newer\n"
    "(upgrade required); 1 it is not (the same or older, or another model); 2\n"
    "usage error; 3 no answer (see the message). With --json, \"required\"\n"
    "carries the answer and \"ok\" says that there is one.\n";

// The installed version text, or nullopt when the service has none.
std::optional<std::string> InstalledVersion()
{
    g_autofree char* text = nullptr;
    if (system_info_get_value_string(SYSTEM_INFO_KEY_SW_VERSION, &text) != 0 || text == nullptr)
        return std::nullopt;
    return std::string(text);
}

// The model part of the installed text as the library reads it: up to the
// last '-' (model codes hold '-' themselves), empty without one.
std::string InstalledModel(const std::string& installed)
{
    size_t dash = installed.rfind('-');
    return dash == std::string::npos ? std::string() : installed.substr(0, dash);
}

// MAJOR.MINOR with decimal numbers that fit the library's 32-bit reading.
// Returns whether both are 0, the offer the library always takes.
bool CheckVersionText(const std::string& version)
{
    size_t dot = version.find('.');
    const char* form = "VERSION must look like MAJOR.MINOR (e.g. 1000.6), not '";
    if (dot == std::string::npos || dot == 0 || dot + 1 == version.size() ||
        version.find_first_not_of("0123456789.") != std::string::npos ||
        version.find('.', dot + 1) != std::string::npos)
        throw UsageError(form + version + "'");
    long long major =
        ParseInteger(version.substr(0, dot), "MAJOR", 0, std::numeric_limits<int32_t>::max());
    long long minor =
        ParseInteger(version.substr(dot + 1), "MINOR", 0, std::numeric_limits<int32_t>::max());
    return major == 0 && minor == 0;
}

int Busy(Context& ctx, const std::string& offered, const nlohmann::json& fields)
{
    return ctx.Fail(reason::kBusy, "no answer for " + offered + ": another upgrade is in the way",
                    "wait with 'qz-swu progress --watch', then 'qz-swu notify'", fields);
}

// The answer in words: why an upgrade is, or is not, required.
std::string AnswerLine(bool required, bool zeroOffer, const std::string& model,
                       const std::string& offered, const std::string& installed)
{
    if (InstalledModel(installed) != model)
        return "no upgrade required: the offered model " + model + " is not the installed model '" +
               InstalledModel(installed) + "' (installed: " + installed + ")";
    if (required && zeroOffer)
        return "upgrade required: version 0.0 is taken whatever is installed (installed: " +
               installed + ")";
    if (required)
        return "upgrade required: " + offered + " is newer than the installed " + installed;
    return "no upgrade required: " + offered + " is not newer than the installed " + installed;
}

}  // namespace

int RunCheckVersion(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kCheckVersionHelp, [](int, const char*) {});
    ExpectPositionals(rest, 2, "MODEL and VERSION");
    const std::string& model = rest[0];
    const std::string& version = rest[1];
    if (model.empty())
        throw UsageError("MODEL must not be empty");
    bool zeroOffer = CheckVersionText(version);

    // Exit 1 is the plain "no": every failure to answer exits 3.
    Context ctx("check-version", global, kExitNoAnswer);
    Client& client = ctx.Daemon();
    std::string offered = model + " " + version;
    nlohmann::json fields = {{"model", model}, {"version", version}};
    // The library's busy test reads "running" only when a stored result is
    // pending; the daemon's own word counts as well.
    if (auto failed = ctx.RequireDaemon("no answer for " + offered, fields))
        return *failed;
    if (ctx.StateReply() == qz::swu::kReplyInProgress)
        return Busy(ctx, offered, fields);
    std::optional<std::string> installed = InstalledVersion();
    fields["installed"] = installed ? nlohmann::json(*installed) : nlohmann::json(nullptr);
    ctx.Note("installed version: " + installed.value_or("(none)"));

    bool required = client.isOTAUpgradeRequired(model, version);
    if (ctx.DaemonLeft())
        return ctx.Lost("no answer for " + offered, fields);
    if (!required && client.isSWUpgrading(SWU_PROCESS_OTA))
        return Busy(ctx, offered, fields);
    if (!installed)
        return ctx.Fail(reason::kVersionUnknown,
                        "no answer for " + offered + ": the installed software version is unknown",
                        "the system-information service gives none (QZ_SW_VERSION)", fields);
    fields["required"] = required;
    fields["same_model"] = InstalledModel(*installed) == model;
    // A plain "no" is an answer, not an error: printed like one, exit 1.
    return ctx.Done(fields, {AnswerLine(required, zeroOffer, model, offered, *installed)},
                    required ? kExitOk : kExitFailed);
}

}  // namespace qzcli
