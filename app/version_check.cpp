// The version check: identify the device, read its four version fields and
// the carried images' ones, and show them side by side.
#include "app/pel_updator_dlg.h"

#include "resources/string_table.h"
#include "update/image_plan.h"
#include "update/timings.h"

#include <cstring>

namespace {

constexpr std::uint32_t kVersionLength = 4;

// One version field: where the device and the carried image hold it.
struct VersionField {
    std::string VersionSet::*text;
    std::uint32_t deviceAddress;
    std::uint32_t imageId;
    std::uint32_t imageOffset;
    bool required;   // a failed device read fails the check
};

// In the order they are read.
constexpr VersionField kVersionFields[] = {
    {&VersionSet::system, 0x170FE0, 139, 0xFE0, true},
    {&VersionSet::preset, 0x065FFC, 133, 0x1AFFC, false},
    {&VersionSet::boot, 0x04AFFC, 142, 0x4AFFC, true},
    {&VersionSet::submcu, 0x1CBFE0, 147, 0x4FE0, true},
};

// The 4 bytes of an image's version field; the buffer stays zero when the
// image is missing or too short to hold the field.
void LoadVersionField(std::uint32_t imageId, std::uint32_t offset, char* text /* 5 bytes */)
{
    std::size_t size = 0;
    const std::uint8_t* image = FindImage(imageId, &size);
    if (image == nullptr || size < static_cast<std::size_t>(offset) + kVersionLength) return;
    std::memcpy(text, image + offset, kVersionLength);
}

// A field that reads "*.**" is marked: its region was erased and not
// written again.  An empty text is a field this check did not read.
std::string DeviceText(const std::string& device)
{
    if (device.empty()) return LoadStringById(IDS_FIELD_NOT_READ);
    if (device != kUnreadableVersion) return device;
    return device + " " + LoadStringById(IDS_INCOMPLETE_FIELD);
}

void AppendLine(std::string& report, const char* label, const std::string& device, const std::string& image)
{
    report += label;
    report += DeviceText(device);
    if (!image.empty() && image != device) {
        report += " -> ";
        report += image;
    }
}

}  // namespace

int SanitizeVersionText(char* text)
{
    for (std::uint32_t i = 0; i < kVersionLength; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte > 0x7E) {
            std::memcpy(text, kUnreadableVersion, 5);
            return 0;
        }
    }
    return 0;
}

bool AnyUnreadableVersion(const VersionSet& set)
{
    for (const std::string* text : {&set.system, &set.preset, &set.boot, &set.submcu}) {
        if (*text == kUnreadableVersion) return true;
    }
    return false;
}

bool AnyVersionNotRead(const VersionSet& set)
{
    for (const std::string* text : {&set.system, &set.preset, &set.boot, &set.submcu}) {
        if (text->empty()) return true;
    }
    return false;
}

std::string FormatVersionReport(const VersionReport& report)
{
    std::string text = "SYSTEM:\t\t" + DeviceText(report.device.system) + " -> " + report.image.system;
    AppendLine(text, "\nPRESET:\t\t", report.device.preset, report.image.preset);
    AppendLine(text, "\nBOOT:\t\t", report.device.boot, report.image.boot);
    AppendLine(text, "\nSUBMCU:\t\t", report.device.submcu, report.image.submcu);
    return text;
}

std::string AfterUpdateText()
{
    // Every block of the carried images was confirmed, the boot region's
    // too or its stamp matched the carried one: their fields are the device's.
    std::string text = LoadStringById(IDS_NOW_ON_DEVICE);
    for (const VersionField& field : kVersionFields) {
        char image[kVersionLength + 1] = {};
        LoadVersionField(field.imageId, field.imageOffset, image);
        SanitizeVersionText(image);
        if (const std::size_t slot = text.find("%s"); slot != std::string::npos) text.replace(slot, 2, image);
    }
    return text + "\n" + LoadStringById(IDS_RESCAN_AFTER_UPDATE);
}

int CPelUpdatorDlg::IdentifyDevice()
{
    // The caller (the version check) returns the dialog to idle once it has
    // finished with the ports, so the failures here show their box only.
    const IdentityAnswer answer = RequestIdentity(*this, Timings().identityMs);
    switch (answer.kind) {
    case IdentityAnswer::Kind::NotSent:
        if (!Quiet()) ShowError(IDS_CANT_OPEN_OUT);
        return -1;
    case IdentityAnswer::Kind::TimedOut:
        if (!Quiet()) ShowError(IDS_TIMEOUT1);
        return -1;
    case IdentityAnswer::Kind::Status:
        if (ClosingStatus(answer.status)) return -1;
        if (!Quiet()) ShowError(IDS_ILLEGAL_DEVICE);
        return -1;
    case IdentityAnswer::Kind::Replied:
        break;
    }
    DeviceIdentity().Set(answer.identity.data());
    if (!IsAcceptedIdentityReply(answer.maker, answer.identity.data())) {
        if (!Quiet()) ShowError(IDS_ILLEGAL_DEVICE);
        return -1;
    }
    return 0;
}

int CPelUpdatorDlg::ReadDeviceMemory(std::uint32_t address, std::uint32_t length, std::uint8_t* dest)
{
    // A lost or damaged reply is asked again, like a block's read-back.
    return linkDoubt.Read(address, length, dest, Timings().readMs) == LinkDoubt::Check::Match ? 0 : -1;
}

unsigned CPelUpdatorDlg::VersionCheckThreadProc(CPelUpdatorDlg* dialog)
{
    CPelUpdatorDlg& dlg = *dialog;
    std::intptr_t result = 0;
    bool readFailed = false;

    // The device's texts are this check's alone: a field it does not read
    // shows as not read, never as what an earlier check found.
    dlg.versions.device = VersionSet{};
    if (dlg.IdentifyDevice() == -1) {
        result = -1;
    } else {
        dlg.linkDoubt.Reset();
        char device[kVersionLength + 1] = {};
        for (const VersionField& field : kVersionFields) {
            char image[kVersionLength + 1] = {};
            LoadVersionField(field.imageId, field.imageOffset, image);
            dlg.versions.image.*field.text = std::string(image);
            if (dlg.ReadDeviceMemory(field.deviceAddress, kVersionLength,
                                     reinterpret_cast<std::uint8_t*>(device)) != 0) {
                if (!field.required) continue;   // the report shows this field as not read
                result = -1;
                readFailed = true;
                break;
            }
            SanitizeVersionText(device);
            dlg.versions.device.*field.text = std::string(device);
        }
    }

    dlg.ClosePorts();
    // An identified device whose versions could not be read: say so, rather
    // than ending with no word at all.
    if (readFailed && !dlg.Quiet()) dlg.ShowError(IDS_VERSION_READ_FAILED);

    std::shared_ptr<std::atomic<bool>> alive = dlg.alive;
    dlg.window.PostToUiThread([&dlg, alive, result] {
        if (alive->load()) dlg.OnVersionCheckDone(0, result);
    });
    return 0;
}

long CPelUpdatorDlg::OnVersionCheckDone(std::uintptr_t /*wParam*/, std::intptr_t lParam)
{
    if (destroyed.load()) return 0;
    if (lParam == 0) {
        // An erased field means an update that did not complete; the update
        // writes the SYSTEM field last, so fields that all read mean it did.
        if (AnyUnreadableVersion(versions.device)) {
            ShowStatusNote(IDS_RUN_UPDATE_AGAIN);
        } else if (!AnyVersionNotRead(versions.device)) {
            incomplete.store(false);   // every field reads: the last update got to its end
            if (statusNote.load() == IDS_RUN_UPDATE_AGAIN) ShowStatusNote(0);
        }
        ShowVersionReport();
    }
    EnableControls();
    return 0;
}

void CPelUpdatorDlg::ShowVersionReport()
{
    window.MessageBox(FormatVersionReport(versions), "Version Information", MB_OK | MB_ICONINFORMATION);
}
