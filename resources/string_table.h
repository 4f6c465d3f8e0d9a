// The program's texts, loaded by id.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint32_t IDS_ABOUTBOX = 101;
inline constexpr std::uint32_t IDS_TIMEOUT1 = 102;
inline constexpr std::uint32_t IDS_TIMEOUT2 = 103;
inline constexpr std::uint32_t IDS_TIMEOUT3 = 104;
inline constexpr std::uint32_t IDS_ILLEGAL_DEVICE = 105;
inline constexpr std::uint32_t IDS_UPDATE_MODE = 106;
inline constexpr std::uint32_t IDS_TRANSFER_ERROR = 107;
inline constexpr std::uint32_t IDS_COMPLETED = 108;
inline constexpr std::uint32_t IDS_IN_PROGRESS = 109;
inline constexpr std::uint32_t IDS_CANT_OPEN_IN = 110;
inline constexpr std::uint32_t IDS_ERROR_CAPTION = 111;
inline constexpr std::uint32_t IDS_CANT_OPEN_OUT = 113;
inline constexpr std::uint32_t IDS_ERASING = 114;
inline constexpr std::uint32_t IDS_DATA_TRANSMIT = 115;
inline constexpr std::uint32_t IDS_BOOT_READ_FAILED = 116;
inline constexpr std::uint32_t IDS_VERSION_READ_FAILED = 117;
inline constexpr std::uint32_t IDS_IMAGE_MISSING = 118;
inline constexpr std::uint32_t IDS_CHECKING = 130;
inline constexpr std::uint32_t IDS_READBACK_FAILED = 131;
inline constexpr std::uint32_t IDS_READ_REFUSED = 132;
inline constexpr std::uint32_t IDS_VERIFYING = 133;
inline constexpr std::uint32_t IDS_VERIFIED = 134;
inline constexpr std::uint32_t IDS_VERIFY_DIFFERS = 135;
inline constexpr std::uint32_t IDS_DEVICE_DISCONNECTED = 136;
inline constexpr std::uint32_t IDS_NO_DEVICE = 137;
inline constexpr std::uint32_t IDS_CONNECT_HINT = 138;
inline constexpr std::uint32_t IDS_RUN_UPDATE_AGAIN = 139;
inline constexpr std::uint32_t IDS_INCOMPLETE_FIELD = 140;
inline constexpr std::uint32_t IDS_STOP_QUESTION = 141;
inline constexpr std::uint32_t IDS_STOP_QUESTION_BOOT = 142;
inline constexpr std::uint32_t IDS_STOP = 143;
inline constexpr std::uint32_t IDS_CONTINUE = 144;
inline constexpr std::uint32_t IDS_TOO_SLOW = 145;
inline constexpr std::uint32_t IDS_SEND_TIMED_OUT = 146;
inline constexpr std::uint32_t IDS_LINK_LOSING = 147;
inline constexpr std::uint32_t IDS_LINK_TOO_SLOW = 148;
inline constexpr std::uint32_t IDS_MIDI_STALLED = 149;
inline constexpr std::uint32_t IDS_FIELD_NOT_READ = 150;
inline constexpr std::uint32_t IDS_DEVICE_HELD = 151;
inline constexpr std::uint32_t IDS_GUIDE_NO_ANSWER = 152;
inline constexpr std::uint32_t IDS_GUIDE_UPDATE_MODE = 153;
inline constexpr std::uint32_t IDS_GUIDE_OTHER_DEVICE = 154;
inline constexpr std::uint32_t IDS_GUIDE_HELD = 155;
inline constexpr std::uint32_t IDS_GUIDE_DISCONNECTED = 156;
inline constexpr std::uint32_t IDS_GUIDE_CANT_OPEN = 157;
inline constexpr std::uint32_t IDS_GUIDE_STOPPED_ANSWERING = 158;
inline constexpr std::uint32_t IDS_GUIDE_TRANSFER_ERROR = 159;
inline constexpr std::uint32_t IDS_GUIDE_LINK = 160;
inline constexpr std::uint32_t IDS_GUIDE_STALLED = 161;
inline constexpr std::uint32_t IDS_GUIDE_READ_BACK = 162;
inline constexpr std::uint32_t IDS_GUIDE_READ_VERSION = 163;
inline constexpr std::uint32_t IDS_GUIDE_IMAGE_MISSING = 164;
inline constexpr std::uint32_t IDS_GUIDE_BOOT_ROW = 165;
inline constexpr std::uint32_t IDS_RESCAN_AFTER_UPDATE = 166;
inline constexpr std::uint32_t IDS_NOW_ON_DEVICE = 167;
inline constexpr std::uint32_t IDS_NO_PORT_NAMED = 180;

// The text of that id, or an empty text when the table has none.
std::string LoadStringById(std::uint32_t id);

// Every entry of the table, in id order (for the Windows resource script).
struct StringTableEntry {
    std::uint32_t id;
    const char* text;
};
std::vector<StringTableEntry> StringTableEntries();
