#include "TarnReport.h"

#include <algorithm>
#include <cstdint>
#include <unistd.h>

namespace tarn
{
std::string FormatSeconds(double dSeconds)
{
    char szText[32];
    std::snprintf(szText, sizeof(szText), "%.3f", dSeconds);
    return szText;
}

std::string FormatBytes(std::uint64_t uBytes)
{
    if (uBytes < 1024)
        return std::to_string(uBytes) + " B";
    const char* const kUnits[] = {"KiB", "MiB", "GiB"};
    double dValue = static_cast<double>(uBytes) / 1024.0;
    std::size_t uUnit = 0;
    for (; dValue >= 1024.0 && uUnit + 1 < 3; ++uUnit)
        dValue /= 1024.0;
    char szText[32];
    std::snprintf(szText, sizeof(szText), "%.1f %s", dValue, kUnits[uUnit]);
    return szText;
}

std::string ResultLine(const Job& Delivered)
{
    char szHead[96];
    std::snprintf(szHead, sizeof(szHead), "  %-6s %10zu bytes %8s s  ", Delivered.bResult ? "ok" : "failed",
                  static_cast<std::size_t>(Delivered.uBytes), FormatSeconds(Delivered.dSeconds).c_str());
    std::string Line = Delivered.Tag + szHead + Delivered.Label;
    if (!Delivered.Note.empty())
        Line += ": " + Delivered.Note;
    return Line;
}

ProgressLine::ProgressLine(bool bAllowed)
    : m_bEnabled(bAllowed && isatty(STDERR_FILENO) != 0), m_Start(std::chrono::steady_clock::now()),
      m_LastDraw(m_Start - std::chrono::seconds(1))
{
}

ProgressLine::~ProgressLine()
{
    Clear();
}

void ProgressLine::Update(const std::vector<Job>& Jobs)
{
    const auto Now = std::chrono::steady_clock::now();
    if (!m_bEnabled || Now - m_LastDraw < std::chrono::milliseconds(100))
        return;
    m_LastDraw = Now;

    // The library reports nothing of a request until it is delivered whole: no bytes so far.
    std::size_t uDone = 0;
    std::string Waiting;
    for (const Job& Each : Jobs)
    {
        if (Each.bDelivered)
            ++uDone;
        else
            Waiting += (Waiting.empty() ? "" : " ") + Each.Tag;
    }
    const std::size_t uWidth = 20;
    const std::size_t uFilled = Jobs.empty() ? uWidth : uWidth * uDone / Jobs.size();
    std::string Line = "\r[" + std::string(uFilled, '#') + std::string(uWidth - uFilled, '.') + "] " +
                       std::to_string(uDone) + "/" + std::to_string(Jobs.size()) + " done, " +
                       std::to_string(Jobs.size() - uDone) + " in flight, " +
                       FormatSeconds(std::chrono::duration<double>(Now - m_Start).count()) + " s";
    if (!Waiting.empty())
        Line += ", waiting for: " + Waiting;
    if (Line.size() > 100)
        Line = Line.substr(0, 97) + "...";
    Line += "\033[K";
    std::fputs(Line.c_str(), stderr);
    std::fflush(stderr);
    m_bShown = true;
}

void ProgressLine::Clear()
{
    if (!m_bShown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_bShown = false;
}

Table::Table(std::vector<std::string> Headers)
{
    for (std::string& Header : Headers)
    {
        const bool bRight = !Header.empty() && Header[0] == '>';
        m_RightAligned.push_back(bRight);
        m_Headers.push_back(bRight ? Header.substr(1) : Header);
    }
}

void Table::AddRow(std::vector<std::string> Cells)
{
    Cells.resize(m_Headers.size());
    m_Rows.push_back(std::move(Cells));
}

std::string Table::Render() const
{
    std::vector<std::size_t> Widths;
    for (const std::string& Header : m_Headers)
        Widths.push_back(Header.size());
    for (const auto& Row : m_Rows)
        for (std::size_t i = 0; i < Row.size(); ++i)
            Widths[i] = std::max(Widths[i], Row[i].size());

    auto RenderRow = [&](const std::vector<std::string>& Cells)
    {
        std::string Line = " ";
        for (std::size_t i = 0; i < Cells.size(); ++i)
        {
            const std::string Pad(Widths[i] - Cells[i].size(), ' ');
            Line += " " + (m_RightAligned[i] ? Pad + Cells[i] : Cells[i] + (i + 1 < Cells.size() ? Pad : ""));
            if (i + 1 < Cells.size())
                Line += " ";
        }
        return Line + "\n";
    };
    std::string Text = RenderRow(m_Headers);
    std::vector<std::string> Rules;
    for (std::size_t uWidth : Widths)
        Rules.push_back(std::string(uWidth, '-'));
    Text += RenderRow(Rules);
    for (const auto& Row : m_Rows)
        Text += RenderRow(Row);
    return Text;
}
} // namespace tarn
