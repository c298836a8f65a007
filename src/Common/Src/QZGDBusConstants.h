// Names of the command interface, shared by the endpoint and its users.
#ifndef QZ_GDBUS_CONSTANTS_H
#define QZ_GDBUS_CONSTANTS_H

namespace qz {
namespace bus {

constexpr const char* kObjectPath = "/com/kestova/orvel/corvaneplatform";
constexpr const char* kInterfaceName = "interface.corvanemessage";

constexpr const char* kShortWithoutRet = "SendShortMessageWithoutRet";
constexpr const char* kShortWithRet = "SendShortMessageWithRet";
constexpr const char* kFullWithoutRet = "SendFullMessageWithoutRet";
constexpr const char* kFullWithRet = "SendFullMessageWithRet";
constexpr const char* kByteWithoutRet = "SendByteMessageWithoutRet";
constexpr const char* kByteWithRet = "SendByteMessageWithRet";
constexpr const char* kByteWithBytesRet = "SendByteMessageWithBytesRet";

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

}  // namespace bus
}  // namespace qz

#endif  // QZ_GDBUS_CONSTANTS_H
