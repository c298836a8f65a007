/**
 * \file
 * The upgrade client: what applications link against to drive upgrades.
 *
 * Every operation that needs the upgrade daemon is a blocking bus call and
 * works without a main loop. Only inbound calls to the library's bus name and
 * its name notices wait for the application to iterate the main context that
 * was the thread's default when the object was built; see CQZGDBus for what
 * that costs.
 *
 * OTA stream: frames go only to a listener running as root, as the caller's
 * user or as the daemon's user (build option QZ_SWU_DAEMON_USER). Connecting
 * and writing one frame take at most 30 s (environment variable
 * QZ_SWU_OTA_WRITE_TIMEOUT_MS, read once per process); a frame that fails or
 * is cut short finishes the connection, and the frames after it fail at once
 * until the next plan.
 */
#ifndef QZ_SWUPGRADE_INTERFACE_H
#define QZ_SWUPGRADE_INTERFACE_H

#include <sys/un.h>

#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "QZGDBus.h"
#include "QzExport.h"
#include "SWUpgradeTypes.h"

/**
 * The upgrade client: one object per application.
 *
 * It holds a CQZGDBus endpoint that owns the library's bus name
 * "com.kestova.orvel.qz.swu.interface" and sends every daemon command to
 * "com.kestova.orvel.qz.swu.daemon" as "SendByteMessageWithRet" with a
 * command number, a byte array and a text reply. Replies are compared whole
 * and case-sensitively.
 *
 * Outcomes of a daemon command, as the operations below name them (see the
 * main page): \e answered, \e refused (another reply, or the bus policy
 * refused the call), <em>no daemon</em>, <em>no bus</em>, \e time-out (no
 * reply within the bus library's default of 25 s). The results do not tell
 * the last four apart; qz_swu_last_call_status() does, right after the call
 * on the same thread.
 *
 * Threads: no operation takes a lock except downloadOTAdata(). Submissions
 * and queries each work on their own record and reply and may run on several
 * threads at once; the OTA plan operations must not overlap with
 * downloadOTAdata() on the same object, and nothing may overlap with the
 * destructor. The object does not derive from CQZGDBus and serves no command
 * of its own: inbound calls get the endpoint's empty answers.
 *
 * Bus loss (departure (c)): after the bus connection closed, the next
 * operation that calls the daemon opens a new connection, registers the
 * object and asks for the name again. An object built while the bus was
 * unreachable (departure (d)) connects on a later call the same way.
 */
class QZ_EXPORT SWUpgradeInterface {
public:
    /**
     * Builds the object and brings up its bus endpoint: connects to the system
     * bus, registers the command interface at "/com/kestova/orvel/corvaneplatform"
     * and asks for the library's bus name.
     *
     * Never fails visibly: without a bus, or when the interface cannot be
     * served, it logs why (CQZGDBus::Create()) and then
     * "Failed to initialize CQZGDBus!" at error priority, and the object is
     * still usable: the key-value store queries work and each daemon command
     * fails until a later call finds the bus (departure (d)).
     *
     * Blocks while it connects to the bus and registers the object; it does
     * not wait for the name, whose notice arrives later on the calling
     * thread's default main context (see CQZGDBus::Create()).
     *
     * \throws boost::thread_resource_error when the OTA mutex cannot be made;
     *         no endpoint exists then.
     */
    SWUpgradeInterface();
    /**
     * Deletes the endpoint (which unregisters the object and releases the
     * name, so no inbound call reaches it afterwards) and closes the OTA
     * stream socket if one is open.
     *
     * Blocks while the name is released on the bus. Must not run while
     * another thread uses the object.
     */
    virtual ~SWUpgradeInterface();

    SWUpgradeInterface(const SWUpgradeInterface&) = delete;             ///< Not copyable.
    SWUpgradeInterface& operator=(const SWUpgradeInterface&) = delete;  ///< Not copyable.

    /**
     * Submits an upgrade request to the daemon (command 16386).
     *
     * Unless the kind is ::SWU_TYPE_BYPASS: first the busy test
     * isSWUpgrading() with the request's requester; when it says busy,
     * nothing is sent. Then the requester bookkeeping m_UpdateProcessMgr()
     * settles the requester, which is written back to
     * pstSWUInfo->nProductType, and the kind, which goes only into the record
     * sent. The request travels as a SWUDataContainer packed in a QzPack.
     *
     * \param pstSWUInfo the request; must not be null. Its nProductType is
     *        rewritten once the busy test passed, whatever the send's outcome.
     * \return true when the daemon answered exactly "success". False when
     *         the busy test refused (nothing sent), when the daemon replied
     *         anything else, and when the bus policy refused the call, nobody
     *         owns the daemon's name, there is no bus, or the call timed out.
     *
     * Blocks for up to two bus calls (the busy test's state query and the
     * request), each up to the 25 s default time-out.
     *
     * Logs "SWUpgradeInterface::SWUpdate" and the request's fields at info
     * priority; "Another Instance of SWupgrade is Active" when busy,
     * "Before Sending the Message", "Updated Process Manager [%d]", "Product
     * Type [%d]", then "Failed Sending the Message" or "Success Sending the
     * Message" and " Result is Success " at error priority. The last three
     * carry the file name SWUDaemonLink.cpp (departure (e)).
     */
    bool SoftwareUpdate(stSWUpgradeInfo* pstSWUInfo);
    /**
     * Submits an upgrade that the daemon downloads from an address: requester
     * ::SWU_PROCESS_URL, kind left to the classification, software id "0",
     * bIsURL true.
     *
     * \param strFileName name of the upgrade file; must not be empty.
     * \param llFileSize its size in bytes; must not be 0. Only the low 32 bits
     *        are sent.
     * \param strVersion the offered version; must not be empty.
     * \param strURL the download address; must not be empty.
     * \return false with "Invalid SWUpgrade information File" (error
     *         priority) when an argument is empty or the size is 0, nothing
     *         sent; otherwise the result of SoftwareUpdate(stSWUpgradeInfo*),
     *         with its blocking, log lines and outcomes.
     */
    bool SoftwareUpdate(const std::string& strFileName, long long llFileSize,
                        const std::string& strVersion, const std::string& strURL);
    /**
     * Submits a cabinet upgrade and, when it was accepted as the main
     * software, reads the offset the daemon reports: requester
     * ::SWU_PROCESS_KAV, kind left to the classification.
     *
     * After an accepted request whose requester stayed ::SWU_PROCESS_KAV, it
     * sends command 16388 and reads the reply "WORD OFFSET" into llOffset
     * (0 when the reply holds no number, or the query got no answer), logging
     * " Return value = %s", " Current OffSet = %lld" and " Return String = %s"
     * at error priority.
     *
     * \param strFileName name of the upgrade file; not checked.
     * \param llFileSize its size in bytes; only the low 32 bits are sent.
     * \param strVersion the offered version; not checked.
     * \param[out] llOffset the daemon's offset; 0 after an accepted request
     *        unless the offset query answered a number; untouched when the
     *        request was refused.
     * \param strCabinetID the cabinet's identifier.
     * \return the result of SoftwareUpdate(stSWUpgradeInfo*): true only when
     *         the request was answered "success"; the offset query's outcome
     *         does not change it.
     *
     * Blocks for up to three bus calls of up to 25 s each.
     */
    bool SoftwareUpdate(const std::string& strFileName, long long llFileSize,
                        const std::string& strVersion, long long& llOffset,
                        const std::string& strCabinetID);
    /**
     * Submits an upgrade described by an information file: requester
     * ::SWU_PROCESS_JOR, fields from the elements "software_id", "file_name",
     * "software_version" and "file_size" found by GetContextbyTag() (plain
     * text search, character-data sections unwrapped).
     *
     * The file is read whole. One that cannot be opened reads as empty: the
     * request then goes out with empty texts and size 0, and the daemon
     * decides.
     *
     * \param strSoftwareName "Player Application" makes the kind
     *        ::SWU_TYPE_LUMORA_PLAYER while isLumoraMode() is true; any other
     *        name leaves the kind to the classification.
     * \param strInfoFile path of the information file; must not be empty.
     * \param strUnused1 ignored.
     * \param strUnused2 ignored.
     * \return false with "Invalid SWUpgrade information File" (error
     *         priority) when the path is empty, nothing sent; otherwise the
     *         result of SoftwareUpdate(stSWUpgradeInfo*), with its blocking,
     *         log lines and outcomes.
     */
    bool SoftwareUpdate(const std::string& strSoftwareName, const std::string& strInfoFile,
                        const std::string& strUnused1, const std::string& strUnused2);

    /**
     * The busy test: whether a new upgrade for this requester must be refused
     * now.
     *
     * Decides from the stored last result (readResult()) where it can: not
     * busy when nothing is stored or its pending field is exactly "false", or
     * for ::SWU_PROCESS_KAV over a "ProcKAV" result; busy for
     * ::SWU_PROCESS_JOR over its own unacknowledged "ProcJOR" result. In every
     * other case it asks the daemon's state (command 16393): not busy only
     * when the daemon answers exactly "InitStatus".
     *
     * \param eProcess the requester.
     * \return true when busy. When the daemon has to be asked and gives no
     *         answer (refused by the bus policy, no daemon, no bus, time-out)
     *         the result is true. With nothing stored the result is false
     *         even while the daemon is upgrading: the daemon then decides on
     *         the request itself.
     *
     * Blocks for at most one bus call of up to 25 s, and only in the cases
     * that ask the daemon. Logs "Failed to Read VConf Value" (error priority)
     * when nothing is stored, "Previous result was not notified..." (error)
     * for JOR over "ProcJOR", and the five stored fields (info) when busy
     * after asking.
     */
    bool isSWUpgrading(eSWUpgradeProcess eProcess);
    /**
     * Classifies an upgrade from marker texts, the first matching rule
     * deciding: the model codes, "TODO", "FPGAFW", "CAL", "CABINET_BIN_03" to
     * "CABINET_BIN_12" in the version text, then ".img" in the file name;
     * case-sensitive substring search.
     *
     * \param strFileName the upgrade file's name.
     * \param strVersion the version text.
     * \return the kind found, ::SWU_TYPE_MAIN when no marker matched.
     *
     * No bus call, no lock. Logs the inputs, "This is not Valens/FPGA/Cabinet
     * update file." when nothing matched, and "Upgrade Type : [%d]", all at
     * error priority.
     */
    eSWUpgradeType m_GetUpgradeType(std::string strFileName, std::string strVersion);
    /**
     * The requester bookkeeping: settles a missing kind and the requester
     * number to send.
     *
     * \param strFileName the upgrade file's name, for the classification.
     * \param strVersion the version text, for the classification.
     * \param eProcess the requester as given.
     * \param[in,out] eType the kind; ::SWU_TYPE_NONE is replaced by what
     *        m_GetUpgradeType() finds, any other value is kept.
     * \return ::SWU_PROCESS_JOR_AUX or ::SWU_PROCESS_KAV_AUX for
     *         ::SWU_PROCESS_JOR or ::SWU_PROCESS_KAV asking for a kind other
     *         than ::SWU_TYPE_MAIN; otherwise eProcess unchanged.
     *
     * No bus call, no lock. Logs "Upgrade Type [%d]" at error priority.
     */
    eSWUpgradeProcess m_UpdateProcessMgr(std::string strFileName, std::string strVersion,
                                         eSWUpgradeProcess eProcess, eSWUpgradeType& eType);

    /**
     * Asks the daemon how far the running upgrade has come (command 16392,
     * reply "WORD NUMBER").
     *
     * \param[out] progress the number of the reply, 0 when it holds none;
     *        untouched when the call got no answer.
     * \return true when the reply's first word is exactly "success"; false
     *         when it is another word (progress still holds the number read),
     *         and when the call was refused by the bus policy, nobody owns
     *         the daemon's name, there is no bus, or it timed out.
     *
     * Blocks for one bus call, up to 25 s. Logs " Return value = %s" (file
     * name SWUDaemonLink.cpp, departure (e)), "Current Progress[%d] & Return
     * String [%s]" and " Result is Success " at error priority.
     */
    bool GetUpgradeProgress(int& progress);
    /**
     * The upgrade status in one word.
     *
     * \return "InProgress" when the daemon answers its state query (command
     *         16393) exactly "InProgressStatus". Otherwise (another answer,
     *         or none: refused, no daemon, no bus, time-out) the stored
     *         result's text when its pending field is exactly "true", else
     *         "Idle". Without an answer a running upgrade thus reads as
     *         "Idle" or as the last result.
     *
     * Blocks for one bus call, up to 25 s. Writes no line of its own;
     * readResult() logs "Failed to Read VConf Value" when nothing is stored.
     */
    std::string GetSWUpgradeStatus();
    /**
     * Reads the progress the daemon published under
     * "memory/corvane/swupgrade/swu_progress" in the key-value store; the
     * daemon is not asked.
     *
     * \return the value's leading decimal number (strtol rules; 0 when it
     *         has none), or 0 with "Failed to Read VConf Value" (error
     *         priority) when the key cannot be read.
     *
     * No bus call, no lock; blocks only for the store's file read.
     */
    int readProgress();
    /**
     * Reads the last upgrade result the daemon stored under
     * "db/corvane/swupgrade/swu_result": up to five fields split at "&".
     *
     * \param[out] pResult filled in field order; a field the text does not
     *        reach keeps what it held, text after the fifth "&" is dropped.
     *        Must not be null.
     * \return true when a non-empty value was read; false with "Failed to
     *         Read VConf Value" when the key cannot be read (also when nothing
     *         is stored yet), or with "Invalid Key Value" when it is empty,
     *         both at error priority.
     *
     * No bus call, no lock.
     */
    bool readResult(stSWUpgradeResult* pResult);
    /**
     * Acknowledges the last upgrade result (command 16389): the daemon then
     * stores its pending field as "false".
     *
     * \return true when the daemon answered exactly "success"; false for any
     *         other reply, and when the call was refused by the bus policy,
     *         nobody owns the daemon's name, there is no bus, or it timed out.
     *
     * Blocks for one bus call, up to 25 s. Logs an empty highlighted line and
     * " Result is Success " (file name SWUDaemonLink.cpp, departure (e)) at
     * error priority.
     */
    bool NotifySWUpdateResult();
    /**
     * Whether the player mode is on: the key-value store's
     * "db/home/lumora/lumora_mode" reads 1.
     *
     * \return true when the key holds 1; false for any other value and when
     *         it cannot be read.
     *
     * No bus call, no lock, no log line.
     */
    bool isLumoraMode();

    /**
     * Whether an offered version for a model is newer than the installed
     * software (system information key 128, "MODEL-MAJOR.MINOR", split at
     * the last "-" and the last ".").
     *
     * The busy test isSWUpgrading(::SWU_PROCESS_OTA) comes first. The version
     * numbers are read with strtol rules and compared as unsigned 32-bit
     * values; a version without "." counts as 1.1; "0.0" is always newer for
     * the same model.
     *
     * \param newModelName the offered model; must equal the installed one.
     * \param newVersion the offered "MAJOR.MINOR".
     * \return true when the model is the installed one and the version is
     *         newer. False when busy ("Another Instance of SWupgrade is
     *         Active"), when an argument is empty, when the installed version
     *         cannot be read ("Failed to get GetDeviceSWVersion."), when the
     *         models differ, and when the version is not newer.
     *
     * Blocks only for the busy test's bus call, if it makes one (up to 25 s).
     * Logs both versions at error priority.
     */
    bool isOTAUpgradeRequired(std::string newModelName, std::string newVersion);

    /**
     * Reports the progress of a cabinet upgrade (command 16390): a default
     * SWUDataContainer whose m_nProductType carries the value, 47 bytes.
     * Sent even while another upgrade runs; no busy test.
     *
     * \param nProgress the progress, sent as it is (negative values too).
     * \return true when the daemon answered exactly "success"; false for any
     *         other reply, and when the call was refused by the bus policy,
     *         nobody owns the daemon's name, there is no bus, or it timed out.
     *
     * Blocks for one bus call, up to 25 s. Logs an empty highlighted line,
     * "Failed Sending the Message" or "Success Sending the Message", and
     * " Result is Success " at error priority (the last three with the file
     * name SWUDaemonLink.cpp, departure (e)).
     */
    bool CabinetUpgradeProgress(int nProgress);
    /**
     * Reports the completion of a cabinet upgrade (command 16391), as
     * CabinetUpgradeProgress() does its progress.
     *
     * \param nValue the completion value, sent as it is.
     * \return true when the daemon answered exactly "success"; false for any
     *         other reply, and when the call was refused by the bus policy,
     *         nobody owns the daemon's name, there is no bus, or it timed out.
     *
     * Blocks for one bus call, up to 25 s; logs as CabinetUpgradeProgress().
     */
    bool OnCabinetUpgradeComplete(int nValue);

    /**
     * Announces an OTA segment plan to the daemon as an upgrade request:
     * requester ::SWU_PROCESS_OTA, software id the plan text
     * (segmentsInfoToString()), size the sum of the segment sizes.
     *
     * Any earlier plan and counts are dropped first (reset()), so the next
     * downloadOTAdata() opens a new stream connection.
     *
     * \param segments segment number to size in bytes; neither is checked,
     *        only an empty plan is refused.
     * \return true when the daemon answered "success" (m_bOTAActive is then
     *         set). False with "segments can not be empty!. Can not start
     *         OTA." for an empty plan (nothing changes), and with the
     *         outcomes of SoftwareUpdate(stSWUpgradeInfo*) otherwise (busy,
     *         refused, no daemon, no bus, time-out); the new plan stays
     *         stored then.
     *
     * Blocks for up to two bus calls of up to 25 s and, after an accepted
     * plan, a further 2 s so that the daemon is ready for the first frame.
     * Must not overlap with downloadOTAdata() on the same object. Logs each
     * segment (info) and "otaTotalSize_ :(%d)" and "OTA download will be
     * started." (error), besides the lines of the submission.
     */
    bool startOTAUpgrade(std::map<int, int> segments);
    /**
     * Forgets the plan (reset()) and clears m_bOTAActive. Sends nothing to the
     * daemon; the next downloadOTAdata() opens a new stream connection.
     *
     * \return true.
     *
     * No bus call, no log line. Must not overlap with downloadOTAdata().
     */
    bool stopOTAUpgrade();
    /**
     * The plan as the daemon receives it: each entry in ascending segment
     * order as "NUMBER SIZE;", e.g. "1 4096;2 100;" (no digit grouping,
     * whatever the global locale).
     *
     * \return the plan text; empty when there is no plan.
     */
    std::string segmentsInfoToString();
    /**
     * Sets otaTotalSize_ and m_nOTASentSize to 0 and empties the plan;
     * m_bOTAActive is left as it is. The next downloadOTAdata() opens a new
     * stream connection. Takes no lock: must not overlap with
     * downloadOTAdata().
     */
    void reset();
    /**
     * Opens the OTA stream connection: closes the previous one if any,
     * connects a new local stream socket to the abstract name "otaStream" with
     * the full 110-byte address, and checks who listens there.
     *
     * The listener's credentials (SO_PEERCRED) must be root, this process's
     * user, or the daemon's user (departure (a)); otherwise the connection is
     * closed with "@otaStream is held by uid U (NAME), pid P, not by the
     * upgrade daemon: nothing sent". Connecting is bounded like a frame
     * (departure (b)). After a failed connection or a refused listener the
     * descriptor is closed and the thread pauses 10 ms; the frame being sent
     * then fails, and the next one tries again.
     *
     * downloadOTAdata() calls it, under its mutex, for the first frame after
     * construction or reset(). A direct call takes no lock and must not
     * overlap with downloadOTAdata().
     *
     * Logs "socket error", "connect error" or "Success to start client." at
     * error priority.
     */
    void startClient();
    /**
     * Writes one 4096-byte frame to the daemon's OTA stream: a 16-byte header
     * of nSize, nArg4, nArg5 and nArg1 (signed 32-bit, big-endian, in that
     * order), the payload, and zero bytes to the end of the frame.
     *
     * The first frame after construction or reset() connects (startClient()).
     * A frame that fails, is cut short or is not written within the bound
     * ends the connection: the frames after it fail at once without touching
     * a socket until the next reset() (departure (b)).
     *
     * \param nArg1 carried in the header's last word; its meaning is agreed
     *        with the daemon (the qz-swu tool sends the segment number).
     * \param pData the payload; null is refused.
     * \param nSize payload bytes, at most 4080; 0 and sizes above 4080 are
     *        refused whole. A negative size sends a frame without payload.
     * \param nArg4 carried in the header's second word.
     * \param nArg5 carried in the header's third word.
     * \return true on every path, as the contract has it: a refused piece,
     *         a failed connection and a failed write are reported in the log
     *         only. m_nOTASentSize grows by nSize for each frame written
     *         whole, so a subclass can compare it with what it sent.
     *
     * Refused pieces ("download information is wrong. Can not download this
     * data.") return at once. Otherwise the call waits for the stream mutex
     * (another thread's frame, at most its bound), then connects if needed
     * and writes, together at most 30 s (QZ_SWU_OTA_WRITE_TIMEOUT_MS), plus
     * 10 ms after a failed connection. Thread-safe: frames of concurrent
     * calls never interleave on the stream. Logs "write error" and
     * "write error:%d", or "EOF" and "write error:0", at error priority when
     * a frame fails.
     */
    bool downloadOTAdata(int nArg1, void* pData, int nSize, int nArg4, int nArg5);

    /// Part of the class's public surface for applications; null at load, and
    /// no operation of the library sets or reads it.
    static SWUpgradeInterface* m_pObject;

protected:
    CQZGDBus* m_pGDBus;  ///< The bus endpoint; owned, deleted by the destructor.
    /// Set when the daemon accepted an OTA plan, cleared by stopOTAUpgrade();
    /// nothing in the library reads it.
    bool m_bOTAActive;
    bool m_bStreamFailed;   ///< Never set; downloadOTAdata() returns its negation.
    int32_t otaTotalSize_;  ///< Sum of the plan's segment sizes, modulo 2^32.
    /// Payload bytes written whole since the last reset(); 0 means the next
    /// frame opens a new connection.
    int32_t m_nOTASentSize;
    /// The OTA stream socket: 0 before the first stream, -1 once a stream
    /// failed or was refused, else the open connection.
    int m_nSocketFd;
    struct sockaddr_un m_stSocketAddr;  ///< The daemon's OTA address, filled by startClient().
    std::map<int, int> m_mapSegments;   ///< The plan: segment number to size.
    boost::mutex m_Mutex;               ///< Serialises frames on the stream.
};

/**
 * The text of the first element named szTag in strContent, found by plain,
 * case-sensitive text search (not an XML parser).
 *
 * The opening mark "<TAG" is matched as a prefix (it may carry attributes,
 * and "<file_size_max>" counts as an opening of "file_size"); the value runs
 * from after its ">" to the first "</TAG>", or to the end of the text when
 * that closing mark stands before it. Nothing is trimmed or decoded.
 *
 * \param strContent the text to search.
 * \param szTag the element name.
 * \param bCDATA when true, a value that contains "CDATA" anywhere loses its
 *        first 9 and last 3 characters (the character-data markers).
 * \return the value, or the empty text when either mark is missing.
 *
 * Pure function: no bus, no log, safe on any thread.
 */
QZ_EXPORT std::string GetContextbyTag(const std::string& strContent, const char* szTag,
                                      bool bCDATA);

extern "C" {
/// Kept for applications that call it; does nothing.
/// \return 0.
QZ_EXPORT int qz_swu_notify_upgrade_result();
/// Kept for applications that call it; does nothing.
/// \return 0.
QZ_EXPORT int qz_swu_upgrade_from_type();
}

#endif  // QZ_SWUPGRADE_INTERFACE_H
