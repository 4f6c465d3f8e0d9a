// The main dialog's logic, without a windowing toolkit: it owns both MIDI
// ports, the reply timer, the reply slot, the busy flag and the version
// texts, runs the update and the version check on worker threads, and
// reaches its controls through a DialogWindow.
#pragma once

#include "app/dialog_window.h"
#include "app/reply_doubt.h"
#include "app/update_progress.h"
#include "midi/dx_mtimer.h"
#include "update/protocol.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct VersionSet {
    std::string submcu;
    std::string boot;
    std::string preset;
    std::string system;
};

struct VersionReport {
    VersionSet device;
    VersionSet image;
};

// Preferred port names (UTF-8); the last list entry equal to any of them is preselected.
inline constexpr std::array<const char*, 3> kPreferredPortNames = {
    "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA \xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9",
    "USB Audio Device",
    "ARKO Q9",
};

inline constexpr unsigned WM_APP = 0x8000;
inline constexpr unsigned WM_VERSION_CHECK_DONE = WM_APP + 1;

// "ARKO Q9 System v1.20 Updater", with " (n)" for instances 2 to 20.
std::string ApplicationTitle(int instanceNumber);

// The name the window of that number looks for first: "ARKO Q9" for the
// first, "ARKO Q9 (n)" after it, as the n-th device of that name is listed.
// The built-in device of window n is given this name.
std::string OwnDeviceName(int instanceNumber);

// The selection FillPortLists makes for a list of names: the last position
// whose name equals a candidate, or -1.
int PreselectPort(const std::vector<std::string>& names, int instanceNumber);

// "SYSTEM:\t\t%s -> %s\nPRESET:\t\t..." as the version check shows it; a
// device field not read shows as "(not read)".
std::string FormatVersionReport(const VersionReport& report);

// After a completed update: the carried versions, which are now the
// device's, and that the device is ready once it has restarted.
std::string AfterUpdateText();

// Replaces a 4-byte text holding anything outside 0x20..0x7E with "*.**".
int SanitizeVersionText(char* text /* 5 bytes */);
inline constexpr const char* kUnreadableVersion = "*.**";
// A device field that reads "*.**": its region was erased and not (yet) written again.
bool AnyUnreadableVersion(const VersionSet& set);
// A device field the last check did not read (its text is empty; a read
// field always has 4 characters).
bool AnyVersionNotRead(const VersionSet& set);

// What the running work is; the question before closing depends on it.
enum class DialogWork { None, Update, VersionCheck, Verify };

// The question "Exit", Escape or the close box asks first: 0 for none (the
// dialog closes at once), else the string id of the question.  Only an
// update that has begun to erase or write asks; on the plan's boot-region
// rows (the rows at flash address 0) the question says that stopping may
// leave the device unable to start.
std::uint32_t CloseQuestionFor(DialogWork work, bool flashTouched, int planRow);

class CPelUpdatorDlg : public ProtocolEndpoint {
public:
    CPelUpdatorDlg(DialogWindow& window, int instanceNumber);
    CPelUpdatorDlg(const CPelUpdatorDlg&) = delete;
    CPelUpdatorDlg& operator=(const CPelUpdatorDlg&) = delete;
    // Runs OnDestroy if it has not run, then waits for the worker to end.
    ~CPelUpdatorDlg();

    // Handlers.
    bool OnInitDialog();   // port lists, 1 ms timer, progress range, title
    void OnExecute();
    void OnVersionCheck();
    long OnVersionCheckDone(std::uintptr_t wParam, std::intptr_t lParam);
    void OnRescanDevice();
    // Timer stopped, ports closed (the output only interrupted while a worker
    // runs: the worker closes it as it ends), status 255, event signalled.
    // Waits for no send.
    void OnDestroy();
    // The Return key: "Execute" while it is enabled, else nothing.
    void OnReturnKey();
    // "Exit", Escape or the close box, on the user-interface thread: true
    // when the window may close now.  An update that has begun to change the
    // flash asks first (Stop / Continue, Continue the default); Stop ends it
    // quietly and keeps the dialog open, its status line saying that the
    // device needs the update run again.
    bool OnCloseRequest();
    // The question OnCloseRequest would ask now (0: none).
    std::uint32_t CloseQuestion() const;
    // Ends a running update as closing would, without closing: the worker
    // ends quietly, then the dialog returns to Ready with the status note.
    // Nothing once the update has ended (completed or failed).  Waits for no send.
    void StopUpdate();
    // The last update began to change the flash and did not complete.
    bool DeviceNeedsUpdate() const { return incomplete.load(); }

    // The surface the workers report through.
    void EnableControls();
    void EnableRunButtons(bool enable);
    void ShowError(std::uint32_t stringId);
    void SetStatusText(const std::string& text);
    void SetCounterText(const std::string& text);
    // The line under the buttons: where the device stands and what to do
    // next ("" clears it).
    void ShowNextStep(const std::string& text);
    void SetProgressRange(std::int32_t high);
    void SetProgressPos(std::int32_t pos);

    void FillPortLists();
    int OpenPorts();
    int ClosePorts();

    // Update.
    int TransferImages();
    // Before the stamp: every image written so far confirmed, read back and
    // repaired where an acknowledgement may have stood for another command.
    int ConfirmImages(bool bootCurrent);
    // The parts of [begin, end) that no write row of the plan covers.
    static std::vector<std::pair<std::uint32_t, std::uint32_t>> UncoveredRanges(std::uint32_t begin, std::uint32_t end);
    int EraseRegion(std::uint32_t address, std::uint32_t size);
    int WriteImage(std::uint32_t address, std::uint32_t size, std::uint32_t imageId);
    int ReportReadBack();
    // Reads kEraseProbeBytes at `address`, asked again for up to patienceMs
    // (behind an erase still running); `erased` when they are all 0xFF.
    LinkDoubt::Check ProbeErased(std::uint32_t address, std::uint32_t patienceMs, bool& erased);   // a read-back that failed, or a device too slow: its message, -1
    // The link carries so little (a block of `sentBytes` took `took` to
    // send) that the rest of the update (`leftInImage` bytes of this image
    // and the later images) would take hours: says so, true.
    bool LinkTooSlow(std::uint32_t leftInImage, std::uint32_t sentBytes, std::chrono::steady_clock::duration took);
    static unsigned UpdateWorker(CPelUpdatorDlg* dialog);

    // Verify: the regions the plan writes, read back and compared.
    struct VerifyResult {
        bool completed = false;            // every block was read
        std::uint32_t blocks = 0;          // blocks compared
        std::uint32_t differingBlocks = 0;
        std::uint32_t firstDifference = 0; // flash address of the first differing byte
    };
    void OnVerify();
    static unsigned VerifyWorker(CPelUpdatorDlg* dialog);
    VerifyResult LastVerify();

    // Version check.
    int IdentifyDevice();
    int ReadDeviceMemory(std::uint32_t address, std::uint32_t length, std::uint8_t* dest);
    void ShowVersionReport();
    static unsigned VersionCheckThreadProc(CPelUpdatorDlg* dialog);

    bool IsBusy() const { return busy.load() != 0; }
    // Waits until the current worker, if any, has ended.
    void WaitForWorker();
    int InstanceNumber() const { return instanceNumber; }
    DialogWindow& Window() { return window; }

    CDxMTimer timer;
    LinkDoubt linkDoubt{*this};   // the workers' view of the link
    std::atomic<std::int32_t> busy{0};
    VersionReport versions;   // written by the version worker, read after its completion is posted

private:
    void StartWorker(unsigned (*proc)(CPelUpdatorDlg*), DialogWork kind);
    void EnableExecute(bool enable);
    // A text of the dialog's own on the status line (0: clears it).
    void ShowStatusNote(std::uint32_t stringId);
    // The update worker: the plan row it works on now; the flash is changed from here on.
    void EnterPlanRow(int row);
    void FinishStop();
    // The update has come to its end (completed, failed or stopped): Stop no
    // longer acts on it and an open stop question closes itself.
    void UpdateEnded();
    // StopUpdate and OnDestroy (portsMutex held): the output ends its send
    // in flight at once; it is closed here only when no worker runs.
    void ReleaseOutput();
    // Opens the ports, disables the controls and starts an update-like worker.
    void StartRun(unsigned (*proc)(CPelUpdatorDlg*), DialogWork kind);
    bool Closing() const { return status.load() == kStatusClosing; }
    // True once the dialog is going away: no box is shown any more.
    bool Quiet() const { return destroyed.load() || stopping.load() || Closing(); }
    // The status a woken worker found means it must end: the dialog is
    // closing (and not a device that answered with the byte 0xFF), or the
    // device went away, which is reported here.
    bool ClosingStatus(std::int32_t value);
    // A worker ends because the dialog is closing or the device went away;
    // the latter is reported.  Returns `result`.
    int EndWork(int result)
    {
        ClosingStatus(status.load());
        return result;
    }
    // Error box (unless the dialog is closing), then back to idle; once the
    // device has gone away, every failure is reported as that.
    void Report(std::uint32_t stringId);
    int ReopenPorts();
    // The failure `text` (the text of messageId, possibly formatted) in the
    // error box with its guidance; the status line keeps its short form.
    void ShowFailure(std::uint32_t messageId, const std::string& text);
    // As Report, with a text of its own.
    void ReportText(std::uint32_t messageId, const std::string& text);
    // An erase or write-block send (its SendSysEx result): the flash may have changed.
    void NoteFlashSend(int sent);
    // Update worker: the whole update's progress, in the title and beside
    // the row's bar; EndOverall puts the title back.
    void BeginOverall(bool bootCurrent);
    void ShowOverall();
    void EndOverall();

    std::mutex portsMutex;    // opening and closing the ports: UI thread, version worker, OnDestroy
    // Read by calls posted to the user-interface thread: false once the dialog is gone.
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);

    DialogWindow& window;
    int instanceNumber;
    std::mutex workerMutex;
    std::thread worker;
    std::atomic<bool> destroyed{false};
    std::atomic<bool> stopping{false};            // StopUpdate: the worker ends quietly
    std::mutex stopMutex;                         // guards workerRunning against StopUpdate
    bool workerRunning = false;
    std::atomic<bool> updateEnded{false};         // set under stopMutex; see UpdateEnded
    std::atomic<DialogWork> work{DialogWork::None};
    std::atomic<int> planRow{0};                  // the update's current plan row, 0 outside the rows
    std::atomic<bool> incomplete{false};          // the update has changed the flash and not completed
    std::atomic<bool> executeEnabled{true};
    std::atomic<std::uint32_t> statusNote{0};     // the note on the status line, 0 when another text
    std::atomic<bool> nextStepShown{false};       // the next-step line holds a text
    int slowBlockSends = 0;      // update worker: block sends in a row that found the link too slow
    bool recheck = false;        // update worker: WriteImage reads every block back first
    bool erasedUnconfirmed = false;   // update worker: the last erase was seen only at the region's ends
    bool confirmEach = false;
    OverallProgress overall;                    // update worker
    UpdateProgressView shownProgress;           // update worker: what the window shows
    std::int32_t barRange = 0;                  // the worker's: the row bar's range
    bool barHeld = false;                       // update worker: blocks read back again leave the bar as it is
    std::set<std::uint32_t> confirmedBlocks;   // update worker: blocks read back as written in this update    // update worker: WriteImage reads every block back after its acknowledgement
    std::mutex verifyMutex;
    VerifyResult verifyResult;   // guarded by verifyMutex
};
