// The main dialog's logic: port lists and their preselection, opening the
// ports, starting the workers, the controls the workers report through, and
// an orderly end (timer first, then the ports, then the waiting worker).
#include "app/pel_updator_dlg.h"

#include "app/failure_guidance.h"
#include "resources/string_table.h"
#include "update/image_plan.h"

#include <system_error>

namespace {

// The messages of a command or read that got no answer: after a send that
// did not finish, the send is what failed.
bool IsSendFailure(std::uint32_t id)
{
    constexpr std::uint32_t kIds[] = {IDS_CANT_OPEN_OUT,    IDS_TIMEOUT1,        IDS_TIMEOUT2,
                                      IDS_TIMEOUT3,         IDS_BOOT_READ_FAILED, IDS_READBACK_FAILED,
                                      IDS_VERSION_READ_FAILED};
    for (const std::uint32_t known : kIds) {
        if (id == known) return true;
    }
    return false;
}

constexpr const char* kApplicationTitle = "ARKO Q9 System v1.20 Updater";
constexpr std::size_t kDeviceNameSize = platform::kDeviceNameCapacity;   // what GetDeviceName writes at most

std::vector<std::string> CandidateNames(int instanceNumber)
{
    std::vector<std::string> names;
    for (const char* name : kPreferredPortNames) {
        if (instanceNumber == 1) {
            names.emplace_back(name);
        } else {
            names.push_back(std::string(name) + " (" + std::to_string(instanceNumber) + ")");
        }
    }
    return names;
}

template <typename Port>
std::vector<std::string> DeviceNames()
{
    std::vector<std::string> names;
    const platform::UINT count = Port::GetDeviceCount();
    for (platform::UINT id = 0; id < count; ++id) {
        char name[kDeviceNameSize] = {};
        Port::GetDeviceName(id, name);
        name[kDeviceNameSize - 1] = '\0';
        names.emplace_back(name);
    }
    return names;
}

}  // namespace

std::string ApplicationTitle(int instanceNumber)
{
    if (instanceNumber == 1) return kApplicationTitle;
    return std::string(kApplicationTitle) + " (" + std::to_string(instanceNumber) + ")";
}

std::string OwnDeviceName(int instanceNumber)
{
    return CandidateNames(instanceNumber).back();
}

int PreselectPort(const std::vector<std::string>& names, int instanceNumber)
{
    const std::vector<std::string> candidates = CandidateNames(instanceNumber);
    int selection = -1;
    for (std::size_t position = 0; position < names.size(); ++position) {
        for (const std::string& candidate : candidates) {
            if (names[position] == candidate) {
                selection = static_cast<int>(position);
                break;
            }
        }
    }
    return selection;
}

std::uint32_t CloseQuestionFor(DialogWork work, bool flashTouched, int planRow)
{
    if (work != DialogWork::Update || !flashTouched) return 0;
    const bool bootRow = planRow >= 1 && planRow <= static_cast<int>(ActivePlan().size()) &&
                         ActivePlan()[static_cast<std::size_t>(planRow - 1)].address == 0;
    return bootRow ? IDS_STOP_QUESTION_BOOT : IDS_STOP_QUESTION;
}

// ---------------------------------------------------------------------------

CPelUpdatorDlg::CPelUpdatorDlg(DialogWindow& window, int instanceNumber)
    : window(window), instanceNumber(instanceNumber)
{
    status.store(0);
    busy.store(0);
    event.Reset();
}

CPelUpdatorDlg::~CPelUpdatorDlg()
{
    alive->store(false);   // a completion still on its way to the UI thread is dropped
    OnDestroy();           // does nothing when it has run
    WaitForWorker();       // the woken worker ends before anything it uses goes away
}

bool CPelUpdatorDlg::OnInitDialog()
{
    FillPortLists();
    // The reply timer sleeps until the input port has queued a message and
    // then parses at once (every 1 ms on a timer service that cannot wake).
    midiIn.SetWakeEvent(timer.StartWakeable(
        1, OnReplyTimer, reinterpret_cast<platform::DWORD_PTR>(static_cast<ProtocolEndpoint*>(this))));
    window.SetProgressRange(IDC_PROGRESS, 0, 100);
    window.SetWindowTitle(ApplicationTitle(instanceNumber));
    return true;
}

void CPelUpdatorDlg::FillPortLists()
{
    const std::vector<std::string> outNames = DeviceNames<CMidiOutPort>();
    window.ResetList(IDC_MIDI_OUT);
    for (const std::string& name : outNames) window.AddListItem(IDC_MIDI_OUT, name);

    const std::vector<std::string> inNames = DeviceNames<CMidiInPort>();
    window.ResetList(IDC_MIDI_IN);
    for (const std::string& name : inNames) window.AddListItem(IDC_MIDI_IN, name);

    const int outSelection = PreselectPort(outNames, instanceNumber);
    const int inSelection = PreselectPort(inNames, instanceNumber);
    window.SetListSelection(IDC_MIDI_OUT, outSelection);
    window.SetListSelection(IDC_MIDI_IN, inSelection);

    // An empty list, or no port of this window's name: say so, and what to do.
    const std::uint32_t note = statusNote.load();
    if (outNames.empty() || inNames.empty()) {
        ShowStatusNote(IDS_NO_DEVICE);
    } else if ((outSelection < 0 || inSelection < 0) && window.PortsPickedByHand()) {
        ShowStatusNote(IDS_NO_PORT_NAMED);
    } else if (note == IDS_NO_DEVICE || note == IDS_NO_PORT_NAMED) {
        ShowStatusNote(0);
    }
}

int CPelUpdatorDlg::ReopenPorts()
{
    // A worker that has returned the dialog to idle may still be on its way
    // out; it must not touch the ports once they are reopened.
    WaitForWorker();

    const int outSelection = window.GetListSelection(IDC_MIDI_OUT);
    const int inSelection = window.GetListSelection(IDC_MIDI_IN);
    std::uint32_t failure = 0;
    {
        // The box below is shown without the lock: closing the dialog meanwhile must not wait for it.
        std::lock_guard<std::mutex> lock(portsMutex);
        std::int32_t lost = kStatusDisconnected;   // a device lost before: the new open starts afresh
        status.compare_exchange_strong(lost, 0);
        std::int32_t stopped = kStatusClosing;     // an update stopped before (the dialog is still open)
        if (!destroyed.load()) status.compare_exchange_strong(stopped, 0);
        midiOut.Close();
        if (!midiOut.Open(static_cast<platform::UINT>(outSelection))) {
            failure = IDS_CANT_OPEN_OUT;
        } else {
            midiIn.Close();
            midiIn.deviceId = static_cast<platform::UINT>(inSelection);
            if (!midiIn.Start()) failure = IDS_CANT_OPEN_IN;
        }
    }
    if (failure != 0) {
        // A port that failed because its list is empty: what to do about it
        // follows on the same line, in place of the guidance.
        std::string text = LoadStringById(failure);
        if (window.GetListCount(failure == IDS_CANT_OPEN_OUT ? IDC_MIDI_OUT : IDC_MIDI_IN) == 0) {
            text += " " + LoadStringById(IDS_CONNECT_HINT);
            ShowFailure(IDS_NO_DEVICE, text);
        } else {
            ShowFailure(failure, text);
        }
        return -1;
    }
    return 0;
}

int CPelUpdatorDlg::OpenPorts()
{
    if (busy.load() == 1) {
        ShowError(IDS_IN_PROGRESS);
        return -1;
    }
    return ReopenPorts();
}

int CPelUpdatorDlg::ClosePorts()
{
    std::lock_guard<std::mutex> lock(portsMutex);
    midiOut.Close();
    midiIn.Close();
    return 0;
}

void CPelUpdatorDlg::OnExecute()
{
    StartRun(&CPelUpdatorDlg::UpdateWorker, DialogWork::Update);
}

void CPelUpdatorDlg::OnReturnKey()
{
    if (!executeEnabled.load() || busy.load() != 0) return;
    OnExecute();
}

void CPelUpdatorDlg::StartRun(unsigned (*proc)(CPelUpdatorDlg*), DialogWork kind)
{
    if (OpenPorts() != 0) return;

    window.EnableControl(IDC_MIDI_IN, false);
    window.EnableControl(IDC_MIDI_OUT, false);
    EnableExecute(false);
    window.EnableControl(IDC_RESCAN, false);
    window.EnableControl(IDC_VERSION_CHECK, false);
    window.FocusControl(IDC_STATUS);   // not "Exit": a key meant for "Execute" must not end the run
    busy.store(1);
    event.Reset();
    StartWorker(proc, kind);
}

void CPelUpdatorDlg::OnVersionCheck()
{
    if (OpenPorts() != 0) return;

    window.EnableControl(IDC_MIDI_IN, false);
    window.EnableControl(IDC_MIDI_OUT, false);
    window.EnableControl(IDC_VERSION_CHECK, false);
    EnableExecute(false);
    window.EnableControl(IDC_RESCAN, false);
    window.FocusControl(IDC_STATUS);
    busy.store(1);
    event.Reset();
    StartWorker(&CPelUpdatorDlg::VersionCheckThreadProc, DialogWork::VersionCheck);
}

std::uint32_t CPelUpdatorDlg::CloseQuestion() const
{
    if (busy.load() == 0 || updateEnded.load()) return 0;
    return CloseQuestionFor(work.load(), incomplete.load(), planRow.load());
}

bool CPelUpdatorDlg::OnCloseRequest()
{
    if (destroyed.load()) return true;
    const std::uint32_t question = CloseQuestion();
    if (question == 0) return true;
    const int answer = window.AskQuestion(LoadStringById(question), ApplicationTitle(instanceNumber),
                                          LoadStringById(IDS_STOP), LoadStringById(IDS_CONTINUE));
    // Stop: the update ends, the dialog stays to say where the device
    // stands.  An update that ended meanwhile closed the question; a Stop
    // given at that moment finds it ended and does nothing.
    if (answer == IDOK) StopUpdate();
    return false;
}

void CPelUpdatorDlg::StopUpdate()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        if (!workerRunning || work.load() != DialogWork::Update || updateEnded.load() || stopping.load()) return;
        stopping.store(true);
    }
    // As closing does: no more sends, and a waiting worker wakes to the
    // closing status.  It then ends without a box and posts FinishStop.
    {
        std::lock_guard<std::mutex> lock(portsMutex);
        ReleaseOutput();
        midiIn.Close();
    }
    status.store(kStatusClosing);
    event.Set();
}

void CPelUpdatorDlg::ReleaseOutput()
{
    // A send in flight ends at once and no other starts; closing the port
    // waits for that send to leave, which a bad driver may make long: the
    // worker closes it as it ends (see StartWorker).
    midiOut.Interrupt();
    bool running = false;
    {
        std::lock_guard<std::mutex> stopLock(stopMutex);
        running = workerRunning;
    }
    if (!running) midiOut.Close();
}

void CPelUpdatorDlg::FinishStop()
{
    if (destroyed.load()) return;
    std::int32_t stopped = kStatusClosing;
    status.compare_exchange_strong(stopped, 0);
    stopping.store(false);
    // An update that got to its end just before the stop has said so itself.
    if (busy.load() != 0) EnableControls();
    if (!incomplete.load()) return;
    ShowStatusNote(IDS_RUN_UPDATE_AGAIN);
    // Stopped in the boot region's rows: the device may not start until it is updated.
    FailureState state;
    state.flashChanged = true;
    state.bootRow = CloseQuestionFor(DialogWork::Update, true, planRow.load()) == IDS_STOP_QUESTION_BOOT;
    ShowNextStep(NextStepText(0, state));
}

void CPelUpdatorDlg::UpdateEnded()
{
    if (work.load() != DialogWork::Update) return;
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        if (updateEnded.load()) return;
        updateEnded.store(true);
    }
    window.DismissQuestion();
}

void CPelUpdatorDlg::OnRescanDevice()
{
    ShowNextStep("");
    FillPortLists();
    EnableRunButtons(true);
}

void CPelUpdatorDlg::OnDestroy()
{
    bool expected = false;
    if (!destroyed.compare_exchange_strong(expected, true)) return;

    // No reply may overwrite the closing status once it is written.
    midiIn.SetWakeEvent(0);
    timer.Stop();
    {
        std::lock_guard<std::mutex> lock(portsMutex);
        ReleaseOutput();
        midiIn.Close();
    }
    status.store(kStatusClosing);
    event.Set();
}

void CPelUpdatorDlg::StartWorker(unsigned (*proc)(CPelUpdatorDlg*), DialogWork kind)
{
    ShowNextStep("");
    std::lock_guard<std::mutex> lock(workerMutex);
    if (worker.joinable()) worker.join();
    work.store(kind);
    {
        std::lock_guard<std::mutex> stopLock(stopMutex);
        workerRunning = true;
        updateEnded.store(false);
    }
    try {
        worker = std::thread([proc, this] {
            proc(this);
            if (work.load() == DialogWork::Update) EndOverall();
            UpdateEnded();
            bool stopped = false;
            {
                std::lock_guard<std::mutex> stopLock(stopMutex);
                workerRunning = false;
                stopped = stopping.load();
            }
            if (stopped || destroyed.load()) {
                // The output that Stop or the dialog's end interrupted is
                // closed here, off the user-interface thread.
                std::lock_guard<std::mutex> lock(portsMutex);
                midiOut.Close();
            }
            work.store(DialogWork::None);
            if (!stopped) return;
            // After every call the worker queued: the status line keeps the note.
            std::shared_ptr<std::atomic<bool>> alive = this->alive;
            window.PostToUiThread([this, alive] {
                if (alive->load()) FinishStop();
            });
        });
    } catch (const std::system_error&) {
        {
            std::lock_guard<std::mutex> stopLock(stopMutex);
            workerRunning = false;
        }
        work.store(DialogWork::None);
        // No thread: nothing runs, so the dialog must not stay disabled.
        EnableControls();
    }
}

void CPelUpdatorDlg::WaitForWorker()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
}

// ---------------------------------------------------------------------------
// The surface the workers report through.

void CPelUpdatorDlg::EnableControls()
{
    UpdateEnded();
    window.EnableControl(IDC_MIDI_IN, true);
    window.EnableControl(IDC_MIDI_OUT, true);
    window.EnableControl(IDC_VERSION_CHECK, true);
    EnableExecute(true);
    window.EnableControl(IDC_RESCAN, true);
    window.FocusControl(IDC_MIDI_IN);   // a harmless place for the keyboard after any operation
    busy.store(0);
}

void CPelUpdatorDlg::EnableRunButtons(bool enable)
{
    EnableExecute(enable);
    window.EnableControl(IDC_VERSION_CHECK, enable);
}

void CPelUpdatorDlg::EnableExecute(bool enable)
{
    executeEnabled.store(enable);
    window.EnableControl(IDOK, enable);
}

void CPelUpdatorDlg::ShowError(std::uint32_t stringId)
{
    // A failure that followed a send the port took but never finished is named as such.
    if (midiOut.LastSendTimedOut() && IsSendFailure(stringId)) stringId = IDS_SEND_TIMED_OUT;
    ShowFailure(stringId, LoadStringById(stringId));
}

void CPelUpdatorDlg::ShowFailure(std::uint32_t messageId, const std::string& text)
{
    FailureState state;
    state.flashChanged = work.load() == DialogWork::Update && incomplete.load();
    state.bootRow = state.flashChanged &&
                    CloseQuestionFor(DialogWork::Update, true, planRow.load()) == IDS_STOP_QUESTION_BOOT;
    window.MessageBox(FailureBoxText(messageId, text, state), LoadStringById(IDS_ERROR_CAPTION), MB_OK | MB_ICONHAND);
    if (messageId == IDS_IN_PROGRESS) return;   // the running work keeps its status line
    window.SetControlText(IDC_STATUS, FailureStatusText(text, state));
    ShowNextStep(NextStepText(messageId, state));
    // The needs-update note stays until a version check finds every field read.
    statusNote.store(state.flashChanged ? IDS_RUN_UPDATE_AGAIN : 0);
}

void CPelUpdatorDlg::ShowStatusNote(std::uint32_t stringId)
{
    std::string text;
    if (stringId != 0) text = LoadStringById(stringId);
    if (stringId == IDS_NO_DEVICE) text += " " + LoadStringById(IDS_CONNECT_HINT);
    if (const std::size_t name = text.find("%s"); stringId == IDS_NO_PORT_NAMED && name != std::string::npos) {
        text.replace(name, 2, OwnDeviceName(instanceNumber));
    }
    window.SetControlText(IDC_STATUS, text);
    statusNote.store(stringId);
}

void CPelUpdatorDlg::EnterPlanRow(int row)
{
    planRow.store(row);   // the flash counts as changed from its first erase or write sent (NoteFlashSend)
}

bool CPelUpdatorDlg::ClosingStatus(std::int32_t value)
{
    if (value == kStatusDisconnected) {
        Report(IDS_DEVICE_DISCONNECTED);
        return true;
    }
    return value == kStatusClosing && (destroyed.load() || stopping.load());
}

void CPelUpdatorDlg::Report(std::uint32_t stringId)
{
    if (work.load() == DialogWork::Update) EndOverall();
    if (Quiet()) return;
    if (status.load() == kStatusDisconnected) stringId = IDS_DEVICE_DISCONNECTED;
    UpdateEnded();   // the question closes before the box opens
    ShowError(stringId);   // says too whether the update left the flash incomplete
    EnableControls();
}

void CPelUpdatorDlg::ReportText(std::uint32_t messageId, const std::string& text)
{
    if (work.load() == DialogWork::Update) EndOverall();
    if (Quiet()) return;
    if (status.load() == kStatusDisconnected) {
        Report(IDS_DEVICE_DISCONNECTED);
        return;
    }
    UpdateEnded();
    ShowFailure(messageId, text);
    EnableControls();
}

void CPelUpdatorDlg::NoteFlashSend(int sent)
{
    // A message sent, or one the system gave up on, may have reached the
    // device; one refused because the device is gone has not.
    if (sent == 0 || status.load() != kStatusDisconnected) incomplete.store(true);
}

void CPelUpdatorDlg::SetStatusText(const std::string& text)
{
    statusNote.store(0);
    window.SetControlText(IDC_STATUS, text);
}

void CPelUpdatorDlg::ShowNextStep(const std::string& text)
{
    if (text.empty() && !nextStepShown.load()) return;
    nextStepShown.store(!text.empty());
    window.SetControlText(IDC_NEXT_STEP, text);
}

void CPelUpdatorDlg::SetCounterText(const std::string& text)
{
    window.SetControlText(IDC_COUNTER, text);
}

void CPelUpdatorDlg::SetProgressRange(std::int32_t high)
{
    barRange = high;
    if (!barHeld) window.SetProgressRange(IDC_PROGRESS, 0, high);
}

void CPelUpdatorDlg::SetProgressPos(std::int32_t pos)
{
    if (!barHeld) window.SetProgressPos(IDC_PROGRESS, pos);
    if (overall.Active()) {
        overall.Advance(planRow.load(), pos, barRange);
        ShowOverall();
    }
}

void CPelUpdatorDlg::BeginOverall(bool bootCurrent)
{
    barHeld = false;
    shownProgress = {};
    overall.Begin(OverallProgress::PlanRows(bootCurrent), OverallProgress::Clock::now());
    ShowOverall();
}

void CPelUpdatorDlg::ShowOverall()
{
    if (!overall.Active()) return;
    const LinkDoubt::Stats counts = linkDoubt.Counts();
    UpdateProgressView view;
    view.percent = overall.Percent();
    view.secondsLeft = overall.SecondsLeft(OverallProgress::Clock::now());
    view.retries = static_cast<int>(counts.readBacks + counts.resends);
    if (view == shownProgress) return;
    if (view.percent != shownProgress.percent)
        window.SetWindowTitle(TitleWithPercent(view.percent, ApplicationTitle(instanceNumber)));
    shownProgress = view;
    window.ShowUpdateProgress(view);
}

void CPelUpdatorDlg::EndOverall()
{
    barHeld = false;
    if (!overall.Active()) return;
    overall.End();
    shownProgress = {};
    window.SetWindowTitle(ApplicationTitle(instanceNumber));
    window.ShowUpdateProgress(shownProgress);
}
