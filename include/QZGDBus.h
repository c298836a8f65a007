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

/**
 * \file
 * The message-bus endpoint CQZGDBus and the interface document it serves.
 */

/**
 * The introspection document of the command interface: one node,
 * "/com/kestova/orvel/corvaneplatform", with the interface
 * "interface.corvanemessage" and its seven methods (the installed file
 * share/dbus-1/interfaces/interface.corvanemessage.xml).
 *
 * CQZGDBus::Create() reads the pointer when it runs, so an application may
 * point it at a document of its own before creating an endpoint. Not locked:
 * change it only while no Create() runs.
 */
QZ_EXPORT extern const char* g_GDBusInterfaceXML;

/**
 * A message-bus endpoint: one connection to the system bus, at most one
 * owned bus name, one served object with the seven-method command interface,
 * and synchronous calls of the same interface on other bus names.
 *
 * Outbound calls (SendMessage()) block the calling thread until the reply or
 * the bus library's default call time-out of 25 s; they need no main loop.
 * Inbound calls and the two name notices are delivered by GLib in the main
 * context that was the thread's default when Create() ran, and only while
 * the application iterates that context. Until then GLib keeps each waiting
 * inbound call, and each name request's state, on that context: an
 * application that never iterates it grows by about 2 KiB per waiting
 * inbound call (the measured figure is in docs/design.md).
 *
 * Bus loss (departure (c)): GLib would end the process when the bus closes
 * the shared connection; the endpoint turns that off. While the bus is away
 * calls fail with RET_FAILED. The next outbound call or IsAlive() after the
 * connection closed opens a new one to the same address (shared by the
 * process's endpoints) and, if a name was asked for, registers the object and
 * asks for the name again. An endpoint made while no bus was reachable
 * connects the same way on a later call (departure (d)).
 *
 * Threads: Create(), Destroy() and the destructor belong to one thread and
 * must not overlap with other calls; outbound calls and IsAlive() may run on
 * several threads at once.
 */
class QZ_EXPORT CQZGDBus {
public:
    /**
     * The result of every outbound call. Callers treat every value but
     * RET_OK as failure. Only the bus error's numeric code decides,
     * whatever its domain.
     */
    enum enRetValue {
        RET_OK = 0,             ///< Answered; a reply was of the expected type.
        RET_NOT_FOUND = 1,      ///< Error code 2 or 3: no such service, the name has no owner.
        RET_TIMEOUT = 2,        ///< Error code 4 or 24: no reply, or none within the time-out.
        RET_TYPE_MISMATCH = 3,  ///< Answered, but the reply was not of the expected type.
        /// Any other error: refused by the bus policy, an error of the peer,
        /// no bus connection, the connection closed.
        RET_FAILED = 4,
    };

    /**
     * Connects to the system bus (GLib's shared connection, exit on close
     * turned off). No bus gives an endpoint without a connection: Create()
     * then fails, and a later call connects (departure (d)).
     *
     * Blocks while it connects. Logs "Get Bus[%p]" at info priority, with a
     * null pointer when there is no bus.
     */
    CQZGDBus();
    /**
     * Runs Destroy(), so that no inbound call can reach the deleted object,
     * then lets go of the connection. Blocks as Destroy() does.
     */
    virtual ~CQZGDBus();

    CQZGDBus(const CQZGDBus&) = delete;             ///< Not copyable.
    CQZGDBus& operator=(const CQZGDBus&) = delete;  ///< Not copyable.

    /**
     * Registers the object at the document's node path with its first
     * interface, and asks for the bus name with
     * g_bus_own_name_on_connection() (no flags: no current owner is
     * replaced, and no replacement is allowed).
     *
     * Whether the name was acquired is told later, by onNameAcquiredCallBack()
     * or onNameLostCallBack(), in the calling thread's default main context
     * while the application iterates it. When another connection holds the
     * name, the request waits in the bus's queue: GLib tells it lost at once,
     * and acquired if the name later comes to this connection.
     *
     * \param pBusName the name to own; must not be null (asserted).
     * \return true when the name has been asked for, now or by an earlier call
     *         (which logs "Already Created. ID(%d) Name(%s) Request(%s)" and
     *         keeps the first name). False with "Bus Connection is NULL" when
     *         there is no connection, "Parse InterfaceXML Failed" when
     *         g_GDBusInterfaceXML cannot be served, or "Bus Own Name Error"
     *         when GLib refused the request (the registration then stays until
     *         Destroy()); these lines are at error priority.
     *
     * Does not wait for the bus. Logs "Create Bus[%s]" at info priority.
     */
    bool Create(const char* pBusName);
    /**
     * Releases the name (g_bus_unown_name()), the parsed document and the
     * object registration, each only if held. The connection stays;
     * Create() may run again.
     *
     * Blocks while GLib releases an acquired name on the bus.
     */
    void Destroy();
    /**
     * Whether a bus name has an owner.
     *
     * \param busName the name to look up.
     * \return true for the endpoint's own name (without a bus call) and for a
     *         name the bus reports an owner for ("GetNameOwner"); false for an
     *         unowned name, a null name, an error, and without a connection.
     *
     * Blocks for one bus call, up to 25 s. Logs "Owner[%s => %s]" at info
     * priority when an owner was found; errors are not logged. Reconnects as
     * an outbound call does (departures (c) and (d)).
     */
    bool IsAlive(const char* busName);

    /**
     * Calls "SendShortMessageWithoutRet" on busName. To the endpoint's own
     * name the call goes straight to t_OnMessage(int, int, std::string&)
     * and never to the bus.
     *
     * \param busName the peer's bus name.
     * \param command the command number.
     * \param param0 the parameter.
     * \return the call's #enRetValue; RET_OK for the own name.
     *
     * Blocks until the peer answered or the 25 s default time-out. Logs
     * "Sending %s Method %s" and "SendDone %s Method %s" at info priority, or
     * "Send Error(%s:%d) [%d:%s]" at error priority.
     */
    enRetValue SendMessage(const char* busName, int command, int param0);
    /**
     * Calls "SendShortMessageWithRet" on busName and reads its text reply.
     * To the endpoint's own name the call goes straight to
     * t_OnMessage(int, int, std::string&) with response.
     *
     * \param busName the peer's bus name.
     * \param command the command number.
     * \param param0 the parameter.
     * \param[out] response replaced by the reply's text on RET_OK; left as
     *        it was on every failure.
     * \return the call's #enRetValue; RET_TYPE_MISMATCH when the reply
     *         was not one text.
     *
     * Blocks and logs as SendMessage(const char*, int, int), plus
     * "Ret %s" at info priority with the reply.
     */
    enRetValue SendMessage(const char* busName, int command, int param0, std::string& response);
    /**
     * Calls "SendFullMessageWithoutRet" on busName. To the endpoint's own
     * name the call goes straight to the handler
     * t_OnMessage(int, int, int, int, const std::string&, std::string&).
     *
     * \param busName the peer's bus name.
     * \param command the command number.
     * \param param0 the first integer parameter.
     * \param param1 the second integer parameter.
     * \param param2 the third integer parameter.
     * \param param3 the text parameter.
     * \return the call's #enRetValue; RET_OK for the own name.
     *
     * Blocks and logs as SendMessage(const char*, int, int).
     */
    enRetValue SendMessage(const char* busName, int command, int param0, int param1, int param2,
                           const std::string& param3);
    /**
     * Calls "SendFullMessageWithRet" on busName and reads its text reply. To
     * the endpoint's own name the call goes straight to the handler
     * t_OnMessage(int, int, int, int, const std::string&, std::string&).
     *
     * \param busName the peer's bus name.
     * \param command the command number.
     * \param param0 the first integer parameter.
     * \param param1 the second integer parameter.
     * \param param2 the third integer parameter.
     * \param param3 the text parameter.
     * \param[out] response replaced by the reply's text on RET_OK; left as
     *        it was on every failure.
     * \return the call's #enRetValue; RET_TYPE_MISMATCH when the reply
     *         was not one text.
     *
     * Blocks and logs as SendMessage(const char*, int, int, std::string&).
     */
    enRetValue SendMessage(const char* busName, int command, int param0, int param1, int param2,
                           const std::string& param3, std::string& response);
    /**
     * Calls "SendByteMessageWithoutRet" on busName with a byte array. To the
     * endpoint's own name the call goes straight to
     * t_OnMessage(int, const void*, int, std::string&) with the caller's
     * bytes, not copied.
     *
     * \param busName the peer's bus name.
     * \param command the command number.
     * \param data the bytes, copied into the message; null sends an empty
     *        array.
     * \param length the number of bytes.
     * \return the call's #enRetValue; RET_OK for the own name.
     *
     * Blocks and logs as SendMessage(const char*, int, int).
     */
    enRetValue SendMessage(const char* busName, int command, const void* data, int length);
    /**
     * Calls "SendByteMessageWithRet" on busName with a byte array and reads
     * its text reply: the form every daemon command of SWUpgradeInterface
     * uses. To the endpoint's own name the call goes straight to
     * t_OnMessage(int, const void*, int, std::string&) with response.
     *
     * \param busName the peer's bus name.
     * \param command the command number.
     * \param data the bytes, copied into the message; null sends an empty
     *        array.
     * \param length the number of bytes.
     * \param[out] response replaced by the reply's text on RET_OK; left as
     *        it was on every failure.
     * \return the call's #enRetValue; RET_TYPE_MISMATCH when the reply
     *         was not one text.
     *
     * Blocks and logs as SendMessage(const char*, int, int, std::string&).
     */
    enRetValue SendMessage(const char* busName, int command, const void* data, int length,
                           std::string& response);
    /**
     * Calls "SendByteMessageWithBytesRet" on busName with a byte array and
     * reads its byte-array reply. To the endpoint's own name the call goes
     * straight to t_OnMessage(int, const void*, int, std::vector<char>&)
     * with response.
     *
     * \param busName the peer's bus name.
     * \param command the command number.
     * \param data the bytes, copied into the message; null sends an empty
     *        array.
     * \param length the number of bytes.
     * \param[out] response replaced by exactly the reply's bytes on
     *        RET_OK; left as it was on every failure.
     * \return the call's #enRetValue; RET_TYPE_MISMATCH when the reply
     *         was not one byte array.
     *
     * Blocks and logs as SendMessage(const char*, int, int); writes no "Ret"
     * line.
     */
    enRetValue SendMessage(const char* busName, int command, const void* data, int length,
                           std::vector<char>& response);

    /**
     * The functions handed to GDBus. Each receives the endpoint as its user
     * data and runs in the main context that was the thread's default when
     * Create() ran, while the application iterates it.
     */
    class QZ_EXPORT Callback {
    public:
        /**
         * Serves one inbound call of the command interface: finds the
         * method's index, runs m_OnDBusMessage() and always completes the
         * invocation. A method without reply is answered (empty) before its
         * handler runs; an unknown method gets an empty reply and the line
         * "Unknown method (%s)" at error priority. A handler that throws is
         * logged, and the call is still answered.
         *
         * \param connection the connection the call came on.
         * \param sender the caller's unique bus name.
         * \param objectPath the called object path.
         * \param interfaceName the called interface.
         * \param methodName the called method.
         * \param parameters the call's parameter tuple.
         * \param invocation the call to complete.
         * \param userData the endpoint.
         *
         * Logs the endpoint's name, the sender, path, interface and method
         * at info priority.
         */
        static void methodMessageOnCallBack(GDBusConnection* connection, const char* sender,
                                            const char* objectPath, const char* interfaceName,
                                            const char* methodName, GVariant* parameters,
                                            GDBusMethodInvocation* invocation, void* userData);
        /**
         * The name was acquired. Only logs "on name acquired, name[%s],
         * user_data:%p" at info priority.
         *
         * \param connection the endpoint's connection.
         * \param name the name.
         * \param userData the endpoint.
         */
        static void onNameAcquiredCallBack(GDBusConnection* connection, const char* name,
                                           void* userData);
        /**
         * The name could not be acquired, is held by another connection, or
         * was lost (also when the bus connection closed). Only logs "on name
         * lost, name:%s, user_data:%p" at error priority; the name is not
         * asked for again (but see departure (c)).
         *
         * \param connection the endpoint's connection.
         * \param name the name.
         * \param userData the endpoint.
         */
        static void onNameLostCallBack(GDBusConnection* connection, const char* name,
                                       void* userData);
    };

protected:
    /**
     * Handler of "SendShortMessageWithRet" and "SendShortMessageWithoutRet";
     * a subclass overrides the handlers of the commands it serves. Runs on
     * the thread that iterates the endpoint's main context; the caller of a
     * method with reply waits until it returns.
     *
     * \param command the command number.
     * \param param0 the parameter.
     * \param[out] response empty on entry; the reply's text.
     * \return true to send the response; false to answer with no values
     *         (a caller that expected a text then sees RET_TYPE_MISMATCH).
     *         The base handler leaves the response empty and returns true.
     */
    virtual bool t_OnMessage(int command, int param0, std::string& response);
    /**
     * Handler of "SendFullMessageWithRet" and "SendFullMessageWithoutRet";
     * see t_OnMessage(int, int, std::string&).
     *
     * \param command the command number.
     * \param param0 the first integer parameter.
     * \param param1 the second integer parameter.
     * \param param2 the third integer parameter.
     * \param param3 the text parameter.
     * \param[out] response empty on entry; the reply's text.
     * \return true to send the response, false to answer with no values.
     */
    virtual bool t_OnMessage(int command, int param0, int param1, int param2,
                             const std::string& param3, std::string& response);
    /**
     * Handler of "SendByteMessageWithRet" and "SendByteMessageWithoutRet";
     * see t_OnMessage(int, int, std::string&).
     *
     * \param command the command number.
     * \param data the received bytes, valid only during the call.
     * \param length their number (0 for an empty array).
     * \param[out] response empty on entry; the reply's text.
     * \return true to send the response, false to answer with no values.
     */
    virtual bool t_OnMessage(int command, const void* data, int length, std::string& response);
    /**
     * Handler of "SendByteMessageWithBytesRet"; see
     * t_OnMessage(int, int, std::string&).
     *
     * \param command the command number.
     * \param data the received bytes, valid only during the call.
     * \param length their number (0 for an empty array).
     * \param[out] response empty on entry; the reply's bytes.
     * \return true to send the response, false to answer with no values.
     */
    virtual bool t_OnMessage(int command, const void* data, int length,
                             std::vector<char>& response);

    /**
     * The one synchronous bus call every SendMessage() form makes:
     * g_dbus_connection_call_sync() to busName at
     * "/com/kestova/orvel/corvaneplatform", interface
     * "interface.corvanemessage", without auto-start, with the default
     * time-out (25 s).
     *
     * \param busName the peer's bus name.
     * \param method the method name.
     * \param params a new, floating parameter tuple; consumed on every path.
     * \param[out] reply when not null, receives the reply tuple on RET_OK
     *        (the caller then owns it); untouched on failure.
     * \return RET_OK when answered; otherwise the #enRetValue of the
     *         error's code, and RET_FAILED without a connection.
     *
     * Logs "Sending %s Method %s" and "SendDone %s Method %s" at info
     * priority, or "Send Error(%s:%d) [%d:%s]" at error priority.
     * Reconnects first when the connection closed (departures (c), (d)).
     */
    enRetValue m_SendMessage(const char* busName, const char* method, GVariant* params,
                             GVariant** reply);
    /**
     * Decodes an inbound call's parameters for its method index, runs the
     * index's t_OnMessage() handler and builds the reply.
     *
     * \param methodIndex 1 short, 2 full, 3 byte with text reply, 4 byte with
     *        byte reply; any other index runs no handler.
     * \param params the parameter tuple; a tuple of the wrong type runs no
     *        handler.
     * \param[out] reply when not null and the handler returned true, receives
     *        a new "(s)" or "(ay)" reply tuple.
     * \return true in every case.
     *
     * Logs "%s : m_OnDBusMessage Start(%d)" and "... Done(%d)" at info
     * priority.
     */
    bool m_OnDBusMessage(int methodIndex, GVariant* params, GVariant** reply);

    std::string m_strBusName;        ///< The name asked for by Create(); empty after Destroy().
    unsigned int m_nOwnerId;         ///< GLib's id of the name request; 0 when none.
    unsigned int m_nRegistrationId;  ///< GLib's id of the object registration; 0 when none.
    GDBusNodeInfo* m_pIntrospectionData;  ///< The parsed interface document, owned; null when none.
    GDBusConnection* m_pBusConnection;    ///< The connection, owned reference; null without a bus.
};

#endif  // QZ_GDBUS_H
