// Message-bus endpoint: owns one bus name, serves the seven-method
// command interface and calls the same interface on other bus names.
//
// What waits for the application's main loop: inbound calls and the two
// name notifications are delivered in the main context that was the
// thread's default when Create ran, and only while the application iterates
// it. GLib keeps what it queues there (each inbound call, and the state of
// each name request and release) until then: an application that never
// iterates that context grows with every call a peer sends it (about 2 KiB
// a call) and with every endpoint it creates and destroys (about 6 KiB
// each); one that iterates it stays flat. Figures: the "Slow" suites of
// QZGDBus_test print them.
//
// Bus loss: when the connection has closed (or there was none when the
// endpoint was made), the next outbound call or IsAlive opens a new one and,
// if Create had been asked for a name, registers the object and asks for
// the name again, from the context Create ran in.
#ifndef QZ_GDBUS_H
#define QZ_GDBUS_H

#include <gio/gio.h>

#include <string>
#include <vector>

#include "QzExport.h"

// Introspection document of the command interface; read by Create().
// A writable pointer so that an application may substitute its own document.
QZ_EXPORT extern const char* g_GDBusInterfaceXML;

class QZ_EXPORT CQZGDBus {
public:
    enum enRetValue {
        RET_OK = 0,
        RET_NOT_FOUND = 1,
        RET_TIMEOUT = 2,
        RET_TYPE_MISMATCH = 3,
        RET_FAILED = 4,
    };

    CQZGDBus();
    virtual ~CQZGDBus();

    CQZGDBus(const CQZGDBus&) = delete;
    CQZGDBus& operator=(const CQZGDBus&) = delete;

    bool Create(const char* pBusName);
    void Destroy();
    bool IsAlive(const char* busName);

    // "SendShortMessageWithoutRet"
    enRetValue SendMessage(const char* busName, int command, int param0);
    // "SendShortMessageWithRet"
    enRetValue SendMessage(const char* busName, int command, int param0, std::string& response);
    // "SendFullMessageWithoutRet"
    enRetValue SendMessage(const char* busName, int command, int param0, int param1, int param2,
                           const std::string& param3);
    // "SendFullMessageWithRet"
    enRetValue SendMessage(const char* busName, int command, int param0, int param1, int param2,
                           const std::string& param3, std::string& response);
    // "SendByteMessageWithoutRet"
    enRetValue SendMessage(const char* busName, int command, const void* data, int length);
    // "SendByteMessageWithRet"
    enRetValue SendMessage(const char* busName, int command, const void* data, int length,
                           std::string& response);
    // "SendByteMessageWithBytesRet"
    enRetValue SendMessage(const char* busName, int command, const void* data, int length,
                           std::vector<char>& response);

    // Functions handed to GDBus; each receives the endpoint as user data.
    class QZ_EXPORT Callback {
    public:
        static void methodMessageOnCallBack(GDBusConnection* connection, const char* sender,
                                            const char* objectPath, const char* interfaceName,
                                            const char* methodName, GVariant* parameters,
                                            GDBusMethodInvocation* invocation, void* userData);
        static void onNameAcquiredCallBack(GDBusConnection* connection, const char* name,
                                           void* userData);
        static void onNameLostCallBack(GDBusConnection* connection, const char* name,
                                       void* userData);
    };

protected:
    // Inbound command handlers; a subclass overrides the ones it serves.
    // Returning false sends no values back.
    virtual bool t_OnMessage(int command, int param0, std::string& response);
    virtual bool t_OnMessage(int command, int param0, int param1, int param2,
                             const std::string& param3, std::string& response);
    virtual bool t_OnMessage(int command, const void* data, int length, std::string& response);
    virtual bool t_OnMessage(int command, const void* data, int length,
                             std::vector<char>& response);

    // The one synchronous bus call; consumes the floating params tuple.
    enRetValue m_SendMessage(const char* busName, const char* method, GVariant* params,
                             GVariant** reply);
    bool m_OnDBusMessage(int methodIndex, GVariant* params, GVariant** reply);

    std::string m_strBusName;
    unsigned int m_nOwnerId;
    unsigned int m_nRegistrationId;
    GDBusNodeInfo* m_pIntrospectionData;
    GDBusConnection* m_pBusConnection;
};

#endif  // QZ_GDBUS_H
