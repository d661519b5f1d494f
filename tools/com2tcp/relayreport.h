#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "byterelay.h"

// What com2tcp tells on its standard output while it relays (the lines are listed at
// the top of com2tcp.cpp) and the tap switch it reads from its standard input.
//
// The relay must never wait for whoever reads the output: lines are queued and written
// only while the output takes them without blocking, on every tick or when much is
// queued. Tap lines that find the queue full
// are dropped and counted; the count goes out as soon as there is room again.
class RelayReport : public ByteRelay::Observer
{
public:
    // The relay ticks every 100 ms: about 160 KiB/s of tapped bytes at most.
    static constexpr size_t TapBytesPerTick = 16 * 1024;

    RelayReport(int input, int output);

    void passed(int direction, const char *data, size_t size) override;

    // Called every tick of the relay: reads the input, reports the counters when due,
    // and writes what is queued.
    void tick();

    // The last counters and the final line, written to the end (blocking).
    void finish(const char *endLine);

    uint64_t count(int direction) const { return m_counts[direction]; }
    bool tapOn() const { return m_tapOn; }

private:
    void readInput();
    void command(const std::string &line);
    void queueCounters();
    void flush();

    int m_input;
    int m_output;
    bool m_outputNonBlocking = false;
    uint64_t m_counts[2] = {0, 0};
    uint64_t m_reported[2] = {0, 0};
    std::chrono::steady_clock::time_point m_lastReport;
    bool m_tapOn = false;
    uint64_t m_dropped = 0;
    // Bytes the tap may still show until the next tick. A monitor shows the last few
    // hundred lines: a bulk transfer is sampled (the rest is reported as dropped), so
    // the tap never costs the relay more than a bounded share of its work.
    size_t m_tapBudget = TapBytesPerTick;
    std::string m_queue;
    std::string m_inputLine;
    bool m_inputLineTooLong = false;
};
