// The ALSA raw MIDI backend's cards: listing them, checking a card at open,
// and what a failed open tells the user (a note taken by AlsaMidi::TakeNote).
#include "platform/alsa/rawmidi.h"
#include "platform/alsa/cards.h"
#include "platform/sysex_assembler.h"

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace platform {

namespace {

std::mutex noteMutex;
std::string note;   // what the last failed open or listing found out

}  // namespace

void SetAlsaNote(std::string text)
{
    std::lock_guard<std::mutex> lock(noteMutex);
    note = std::move(text);
}

namespace {

// The other processes that hold a raw MIDI device, as the kernel shows them
// in /proc/asound/card<c>/midi<d> ("Owner PID : 1234"), with their names.
std::string Holders(int card, int device)
{
    std::ifstream info("/proc/asound/card" + std::to_string(card) + "/midi" + std::to_string(device));
    std::string line;
    std::string holders;
    while (std::getline(info, line)) {
        const std::size_t at = line.find("Owner PID");
        const std::size_t colon = line.find(':', at);
        if (at == std::string::npos || colon == std::string::npos) continue;
        const long pid = std::strtol(line.c_str() + colon + 1, nullptr, 10);
        if (pid <= 0 || pid == getpid()) continue;   // this program holds the other direction
        std::string name;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
        holders += (holders.empty() ? "" : ", ") + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
    }
    return holders;
}

}  // namespace

MMRESULT AlsaOpenError(int err, int card, int device)
{
    switch (-err) {
    case EBUSY: {
        const std::string holders = Holders(card, device);
        SetAlsaNote("The device is in use by another program" +
                (holders.empty() ? std::string() : " (process " + holders + ")") +
                ".");
        return MMSYSERR_ALLOCATED;
    }
    case EACCES:
    case EPERM:
        SetAlsaNote("No permission to use the sound devices (/dev/snd). Add your user to the \"audio\" group, "
                "then log in again.");
        return MIDIERR_NODEVICE;
    case ENOMEM:
        return MMSYSERR_NOMEM;
    default:
        return MIDIERR_NODEVICE;
    }
}


std::string AlsaMidi::TakeNote()
{
    std::lock_guard<std::mutex> lock(noteMutex);
    return std::exchange(note, std::string());
}



// The card's id and name, or false.
bool ReadAlsaCard(int card, std::string& id, std::string& name, int& err)
{
    snd_ctl_t* ctl = nullptr;
    err = snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0);
    if (err < 0) return false;
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    err = snd_ctl_card_info(ctl, info);
    if (err == 0) {
        id = snd_ctl_card_info_get_id(info);
        name = snd_ctl_card_info_get_name(info);
    }
    snd_ctl_close(ctl);
    return err == 0;
}


std::vector<AlsaMidi::Entry> AlsaMidi::Enumerate(bool input)
{
    const snd_rawmidi_stream_t stream = input ? SND_RAWMIDI_STREAM_INPUT : SND_RAWMIDI_STREAM_OUTPUT;
    std::vector<Entry> entries;
    snd_rawmidi_info_t* info = nullptr;
    snd_rawmidi_info_alloca(&info);
    bool denied = false;
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        Entry cardEntry;
        cardEntry.card = card;
        int err = 0;
        if (!ReadAlsaCard(card, cardEntry.cardId, cardEntry.cardName, err)) {
            denied = denied || err == -EACCES || err == -EPERM;
            continue;
        }
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0) {
            continue;
        }
        std::vector<Entry> found;
        std::vector<std::string> subNames;
        int device = -1;
        while (snd_ctl_rawmidi_next_device(ctl, &device) == 0 && device >= 0) {
            snd_rawmidi_info_set_device(info, static_cast<unsigned>(device));
            snd_rawmidi_info_set_stream(info, stream);
            snd_rawmidi_info_set_subdevice(info, 0);
            if (snd_ctl_rawmidi_info(ctl, info) < 0) {
                continue;   // no such direction on this device
            }
            const unsigned subdevices = snd_rawmidi_info_get_subdevices_count(info);
            for (unsigned sub = 0; sub < subdevices; ++sub) {
                snd_rawmidi_info_set_subdevice(info, sub);
                if (snd_ctl_rawmidi_info(ctl, info) < 0) {
                    continue;
                }
                const char* subName = snd_rawmidi_info_get_subdevice_name(info);
                const char* deviceName = snd_rawmidi_info_get_name(info);
                std::string name = subName != nullptr ? subName : "";
                if (name.empty() && deviceName != nullptr) {
                    name = deviceName;
                }
                Entry entry = cardEntry;
                entry.device = device;
                entry.hwName = "hw:" + std::to_string(card) + "," + std::to_string(device) + "," + std::to_string(sub);
                found.push_back(entry);
                subNames.push_back(name);
            }
        }
        snd_ctl_close(ctl);
        for (std::size_t i = 0; i < found.size(); ++i) {
            found[i].name = RawMidiDeviceName(cardEntry.cardName, subNames[i], static_cast<unsigned>(found.size()));
            entries.push_back(found[i]);
        }
    }
    std::vector<std::string> names;
    for (const Entry& entry : entries) names.push_back(entry.name);
    NumberSameNames(names);
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i].name = names[i];
    // alsa-lib skips a card whose control file it may not open: look for
    // such files, so that a permission problem is said instead of nothing.
    for (int c = 0; c < 32 && !denied; ++c) {
        const std::string control = "/dev/snd/controlC" + std::to_string(c);
        denied = access(control.c_str(), F_OK) == 0 && access(control.c_str(), R_OK | W_OK) != 0;
    }
    if (denied) AlsaOpenError(-EACCES, 0, 0);
    return entries;
}

}  // namespace platform
