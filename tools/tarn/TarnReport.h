#pragma once

// What tarn prints: result lines, the live progress line and tables.
#include "TarnHost.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarn
{
// "<tag>  ok|failed  <bytes> bytes  <seconds> s  <label>[: <why it failed>]"
std::string ResultLine(const Job& Delivered);

std::string FormatSeconds(double dSeconds);    // "1.503"
std::string FormatBytes(std::uint64_t uBytes); // "512 B", "1.5 MiB"

// One line on standard error, rewritten in place while jobs are in flight: jobs done and in
// flight, time since the start, and the tags still waiting. No byte counts: the library tells
// nothing of a transfer until it is delivered. Silent unless standard error is a terminal.
class ProgressLine
{
public:
    explicit ProgressLine(bool bAllowed);
    ~ProgressLine();

    // Redraws at most ten times a second.
    void Update(const std::vector<Job>& Jobs);
    void Clear();

private:
    bool m_bEnabled;
    bool m_bShown = false;
    std::chrono::steady_clock::time_point m_Start;
    std::chrono::steady_clock::time_point m_LastDraw;
};

// Left-aligned columns, with numbers right-aligned where the header asks for it ('>' prefix).
class Table
{
public:
    explicit Table(std::vector<std::string> Headers);
    void AddRow(std::vector<std::string> Cells);
    std::string Render() const;

private:
    std::vector<std::string> m_Headers;
    std::vector<bool> m_RightAligned;
    std::vector<std::vector<std::string>> m_Rows;
};
} // namespace tarn
