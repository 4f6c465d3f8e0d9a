#include "tests/support/scripted_link.h"

#include "update/protocol.h"

#include <atomic>
#include <chrono>
#include <cstdio>

using namespace platform;

namespace q9test {

namespace {

// The driver is done with the header: the port polls this bit.
void MarkDone(MIDIHDR* header)
{
    std::atomic_ref<DWORD> flags(header->dwFlags);
    const DWORD value = flags.load(std::memory_order_relaxed);
    flags.store((value | MHDR_DONE) & ~MHDR_INQUEUE, std::memory_order_release);
}

}  // namespace

ScriptedLink::ScriptedLink(std::unique_ptr<VirtualMidi> device) : device(std::move(device)) {}

void ScriptedLink::SetPolicy(Policy newPolicy)
{
    std::lock_guard<std::mutex> lock(policyMutex);
    policy = std::move(newPolicy);
}

std::vector<Bytes> ScriptedLink::Sent() const
{
    std::lock_guard<std::mutex> lock(sentMutex);
    return sent;
}

std::size_t ScriptedLink::SentCount() const
{
    std::lock_guard<std::mutex> lock(sentMutex);
    return sent.size();
}

bool ScriptedLink::WaitForSent(const std::function<bool(const std::vector<Bytes>&)>& pred, std::uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(sentMutex);
    return sentChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(sent); });
}

bool ScriptedLink::IsIdentityRequest(const Bytes& m)
{
    return m.size() == 6 && m[0] == 0xF0 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x01;
}

bool ScriptedLink::IsCommand(const Bytes& m, std::uint8_t command)
{
    return m.size() >= 6 && m[0] == 0xF0 && m[1] == kManufacturer && m[4] == command;
}

std::uint32_t ScriptedLink::Address(const Bytes& m)
{
    if (IsCommand(m, kCmdRead) && m.size() >= 11) return Decode5(m.data() + 6);
    if (m.size() >= 10) return Decode5(m.data() + 5);
    return 0;
}

std::uint32_t ScriptedLink::EraseSize(const Bytes& m)
{
    return m.size() >= 15 ? Decode5(m.data() + 10) : 0;
}

std::uint32_t ScriptedLink::WriteCount(const Bytes& m)
{
    return m.size() >= 12 ? static_cast<std::uint32_t>(m[10] | (m[11] << 7)) : 0;
}

Bytes ScriptedLink::StatusReply(std::uint8_t status, std::uint8_t model)
{
    return {0xF0, kManufacturer, 0x00, model, kCmdStatus, status, 0xF7};
}

MMRESULT ScriptedLink::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    if (header == nullptr || header->lpData == nullptr) return device->OutLongMsg(handle, header, size);
    const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
    Bytes message(data, data + header->dwBufferLength);

    Decision decision;
    {
        std::lock_guard<std::mutex> lock(policyMutex);
        if (policy) decision = policy(message);
    }
    {
        std::lock_guard<std::mutex> lock(sentMutex);
        sent.push_back(message);
    }
    sentChanged.notify_all();

    switch (decision.action) {
    case Action::Forward:
        return device->OutLongMsg(handle, header, size);
    case Action::Drop:
        MarkDone(header);
        return MMSYSERR_NOERROR;
    case Action::Answer:
        MarkDone(header);
        device->SendFromDevice(std::move(decision.reply));
        return MMSYSERR_NOERROR;
    case Action::FailSend:
        return MMSYSERR_ERROR;
    case Action::Unplugged:
        return MMSYSERR_NODRIVER;
    case Action::AnswerDamaged:
        MarkDone(header);
        {
            std::lock_guard<std::mutex> lock(inMutex);
            damaged.push_back(decision.reply);
        }
        device->SendFromDevice(std::move(decision.reply));
        return MMSYSERR_NOERROR;
    case Action::Hold: {
        std::lock_guard<std::mutex> lock(sentMutex);
        held.push_back(header);
        return MMSYSERR_NOERROR;
    }
    }
    return MMSYSERR_ERROR;
}

UINT ScriptedLink::InGetNumDevs() { return device->InGetNumDevs(); }
MMRESULT ScriptedLink::InGetDevCaps(UINT id, MIDIINCAPSA* caps, UINT size) { return device->InGetDevCaps(id, caps, size); }
MMRESULT ScriptedLink::InOpen(HMIDIIN* handle, UINT id, MidiInProc callback, DWORD_PTR instance, DWORD flags)
{
    if (flags != CALLBACK_FUNCTION || callback == nullptr) return device->InOpen(handle, id, callback, instance, flags);
    {
        std::lock_guard<std::mutex> lock(inMutex);
        portCallback = callback;
        portInstance = instance;
    }
    return device->InOpen(handle, id, &ScriptedLink::InCallback, reinterpret_cast<DWORD_PTR>(this), flags);
}

void ScriptedLink::InCallback(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2)
{
    auto* link = reinterpret_cast<ScriptedLink*>(instance);
    MidiInProc callback = nullptr;
    DWORD_PTR portInstance = 0;
    {
        std::lock_guard<std::mutex> lock(link->inMutex);
        callback = link->portCallback;
        portInstance = link->portInstance;
        const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
        if (msg == MIM_LONGDATA && header != nullptr && !link->damaged.empty()) {
            const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
            if (Bytes(data, data + header->dwBytesRecorded) == link->damaged.front()) {
                link->damaged.erase(link->damaged.begin());
                msg = MIM_LONGERROR;
            }
        }
    }
    if (callback != nullptr) callback(handle, msg, portInstance, param1, param2);
}
MMRESULT ScriptedLink::InReset(HMIDIIN handle) { return device->InReset(handle); }
MMRESULT ScriptedLink::InPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return device->InPrepareHeader(handle, header, size);
}
MMRESULT ScriptedLink::InAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return device->InAddBuffer(handle, header, size);
}
MMRESULT ScriptedLink::InStart(HMIDIIN handle) { return device->InStart(handle); }
MMRESULT ScriptedLink::InStop(HMIDIIN handle) { return device->InStop(handle); }
MMRESULT ScriptedLink::InUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT size)
{
    return device->InUnprepareHeader(handle, header, size);
}
MMRESULT ScriptedLink::InClose(HMIDIIN handle) { return device->InClose(handle); }
UINT ScriptedLink::OutGetNumDevs() { return device->OutGetNumDevs(); }
MMRESULT ScriptedLink::OutGetDevCaps(UINT id, MIDIOUTCAPSA* caps, UINT size) { return device->OutGetDevCaps(id, caps, size); }
MMRESULT ScriptedLink::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    return device->OutOpen(handle, id, callback, instance, flags);
}
MMRESULT ScriptedLink::OutClose(HMIDIOUT handle) { return device->OutClose(handle); }
MMRESULT ScriptedLink::OutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return device->OutPrepareHeader(handle, header, size);
}
MMRESULT ScriptedLink::OutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    return device->OutUnprepareHeader(handle, header, size);
}
MMRESULT ScriptedLink::OutReset(HMIDIOUT handle)
{
    std::vector<MIDIHDR*> released;
    {
        std::lock_guard<std::mutex> lock(sentMutex);
        released.swap(held);
    }
    for (MIDIHDR* header : released) MarkDone(header);
    return device->OutReset(handle);
}

// ---------------------------------------------------------------------------

ProtocolTimings FastTimings()
{
    ProtocolTimings t;
    t.identityMs = 200;
    t.beginUpdateMs = 200;
    t.pauseAfterBeginMs = 1;
    t.bootStampMs = 200;
    t.eraseMs = 200;
    t.writeBlockMs = 50;
    t.retryPauseMs = 1;
    t.endUpdateMs = 200;
    t.readMs = 200;
    t.replyMaxMs = 100;
    t.replyMinWaitMs = 5;
    t.stallMaxMs = 500;
    return t;
}

DialogRig::DialogRig(const std::string& settings, const ProtocolTimings& timings, int instanceNumber,
                     const Backend& backend)
    : scopedTimings(timings)
{
    ResetProtocolState();
    std::string error;
    std::unique_ptr<VirtualMidi> device = MakeVirtualMidi(settings, error);
    if (!device) {
        // Tests give valid settings; a typo shows up as a device with defaults
        // and this note.
        std::fprintf(stderr, "virtual device settings \"%s\": %s\n", settings.c_str(), error.c_str());
        device = MakeVirtualMidi("", error);
    }
    auto scripted = std::make_unique<ScriptedLink>(std::move(device));
    link = scripted.get();
    if (backend) {
        ownLink = std::move(scripted);
        system.Add(backend(*link));
    } else {
        system.Add(std::move(scripted));
    }
    previousMidi = InstallMidi(&system);
    dialog = std::make_unique<CPelUpdatorDlg>(window, instanceNumber);
    dialog->OnInitDialog();
}

DialogRig::~DialogRig()
{
    DestroyDialog();
    InstallMidi(previousMidi);
    ResetProtocolState();
}

void DialogRig::RunUpdate()
{
    dialog->OnExecute();
    dialog->WaitForWorker();
    window.RunPosted();
}

void DialogRig::RunVersionCheck()
{
    dialog->OnVersionCheck();
    dialog->WaitForWorker();
    window.RunPosted();
}

void DialogRig::DestroyDialog(bool closeWindow)
{
    if (!dialog) return;
    if (closeWindow) {
        dialog->OnDestroy();
        window.Close();
    }
    dialog.reset();
}

}  // namespace q9test
