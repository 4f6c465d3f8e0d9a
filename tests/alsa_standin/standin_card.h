// The stand-in's model of one sound card: the kernel's raw MIDI buffers in
// both directions, the USB side that empties the output at the link's rate,
// and the virtual ARKO Q9 behind it (see alsa_standin.cpp).
#pragma once
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include "virtual_device/virtual_q9.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t buffer = 4096;      // a page: the raw MIDI buffer alsa-lib asks for (4 KiB on x86-64)
    std::size_t maxOutput = 0;      // larger output buffers refused (EINVAL); 0: up to 1 MiB, as the kernel
    std::size_t chunk = 64;         // bytes the USB side takes at a time
    int drainLimitMs = 10000;       // the kernel's drain limit
    int cards = 1;
    std::string name = "ARKO Q9";
    std::string device;             // virtual device settings
    std::string control;            // command FIFO
};
inline Options options;

struct Card;

struct Handle {
    std::shared_ptr<Card> card;
    bool control = false;
    bool input = false;
    bool output = false;
    fuse_pollhandle* poll = nullptr;   // guarded by the card's mutex
};

struct Card {
    int number = 0;
    std::string id;
    std::string name;
    VirtualQ9 device;
    std::uint64_t rate = 0;

    std::mutex mutex;
    std::condition_variable changed;
    bool unplugged = false;
    bool stalled = false;
    bool stop = false;
    std::deque<std::uint8_t> out;
    std::size_t outSize = 0, outAvailMin = 1, inFlight = 0;
    std::deque<std::uint8_t> in;
    std::size_t inSize = 0, inAvailMin = 1, lost = 0;
    Handle* inHolder = nullptr;
    Handle* outHolder = nullptr;
    std::set<Handle*> handles;
    std::vector<std::uint8_t> message;   // the SysEx message arriving at the device
    bool inSysEx = false;
    // Figures for the summary.
    std::size_t writes = 0, refusedWrites = 0, bytesOut = 0, drains = 0, bytesIn = 0;
    std::uint64_t busyMs = 0;   // the device's flash time
    std::thread link;

    Card(int number, std::string id, std::string name, const VirtualDeviceSettings& settings)
        : number(number), id(std::move(id)), name(std::move(name)), device(settings),
          rate(settings.linkBytesPerSecond)
    {
    }

    std::size_t OutFree() const { return out.size() >= outSize ? 0 : outSize - out.size(); }

    // Wakes every waiter and every poller; the mutex is held.
    void Notify()
    {
        changed.notify_all();
        for (Handle* h : handles) {
            if (h->poll != nullptr) {
                fuse_notify_poll(h->poll);
                fuse_pollhandle_destroy(h->poll);
                h->poll = nullptr;
            }
        }
    }

    // Sleeps until `deadline` unless the card goes away; false then.
    bool SleepUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline)
    {
        changed.wait_until(lock, deadline, [&] { return stop || unplugged; });
        return !(stop || unplugged);
    }

    void Deliver(std::unique_lock<std::mutex>& lock, const std::vector<std::uint8_t>& bytes)
    {
        if (rate != 0 && !SleepUntil(lock, Clock::now() + std::chrono::microseconds(bytes.size() * 1000000 / rate))) {
            return;
        }
        bytesIn += bytes.size();
        for (std::uint8_t b : bytes) {
            if (in.size() < inSize) {
                in.push_back(b);
            } else {
                ++lost;
            }
        }
        Notify();
    }

    void Arrive(std::unique_lock<std::mutex>& lock, std::uint8_t b)
    {
        if (b >= 0xF8) return;
        if (b == 0xF0) {
            message.assign(1, b);
            inSysEx = true;
            return;
        }
        if (!inSysEx) return;
        message.push_back(b);
        if (b < 0x80) return;
        inSysEx = false;
        if (b != 0xF7) return;
        for (const VirtualQ9::Reply& reply : device.Receive(message.data(), message.size())) {
            busyMs += reply.busyMs;
            const std::uint32_t waitMs = reply.busyMs + device.Settings().lateMs;
            if (waitMs != 0 && !SleepUntil(lock, Clock::now() + std::chrono::milliseconds(waitMs))) {
                return;
            }
            if (!reply.lost) Deliver(lock, reply.bytes);
        }
    }

    // The USB side: takes chunks from the output buffer at the link's rate
    // and hands them to the device, whose replies fill the input buffer.
    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        Clock::time_point next = Clock::now();
        while (!stop && !unplugged) {
            if (stalled || out.empty()) {
                changed.wait(lock);
                next = Clock::now();
                continue;
            }
            const std::size_t n = std::min(options.chunk, out.size());
            std::vector<std::uint8_t> chunk(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
            out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
            inFlight = n;
            Notify();
            if (rate != 0) {
                next = std::max(next, Clock::now() - std::chrono::milliseconds(2)) +
                       std::chrono::microseconds(n * 1000000 / rate);
                if (!SleepUntil(lock, next)) break;
            }
            for (std::uint8_t b : chunk) Arrive(lock, b);
            inFlight = 0;
            Notify();
        }
    }
};
