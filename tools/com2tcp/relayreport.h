#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "byterelay.h"

// What com2tcp tells on its standard output while it relays (the lines are listed at
// the top of com2tcp.cpp) and the tap switch it reads from its standard input.
//
// The relay must never wait for whoever reads the output: lines are queued and written
// only while the output takes them without blocking. Tap lines that find the queue full
// are dropped and counted; the count goes out as soon as there is room again.
class RelayReport : public ByteRelay::Observer
{
public:
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
    uint64_t m_counts[2] = {0, 0};
    uint64_t m_reported[2] = {0, 0};
    std::chrono::steady_clock::time_point m_lastReport;
    bool m_tapOn = false;
    uint64_t m_dropped = 0;
    std::string m_queue;
    std::string m_inputLine;
    bool m_inputLineTooLong = false;
};
