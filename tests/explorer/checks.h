// The properties every explored run must keep, checked on what the run
// left: the dialog's status line and error boxes, the device's log and
// flash, and the messages the host sent.
#pragma once

#include "tests/explorer/schedule.h"
#include "virtual_device/virtual_q9.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace explorer {

enum class Property { FalseSuccess, CommitRule, HonestFailure, Protocol, Bounded };
inline constexpr std::array<const char*, 5> kPropertyNames = {"false-success", "commit-rule", "honest-failure",
                                                              "protocol", "bounded"};

using Bytes = std::vector<std::uint8_t>;

// What one run left.
struct RunRecord {
    std::string status;                   // the status line at the end
    std::vector<std::string> boxes;       // error box texts, in order
    std::vector<VirtualQ9::LogEntry> log; // what the device got, in order
    std::vector<Bytes> sent;              // what the host sent, in order
    Bytes finalFlash;
    std::uint64_t elapsedMs = 0;
};

struct Failure {
    Property property;
    std::string detail;
};

// The update completed: its status line says so and no error box was shown.
bool Completed(const RunRecord& record);
// Every property; call with the run's plan active (ScopedPlan).
std::vector<Failure> CheckRun(const RunSetup& setup, const RunRecord& record);

// Short forms, for --verbose.
std::string DescribeEntry(const VirtualQ9::LogEntry& entry);
std::string DescribeMessage(const Bytes& message);

}  // namespace explorer
