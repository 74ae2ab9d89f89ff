// tarn demo: the library against the loopback demo server, every result checked.
#include "TarnCommands.h"
#include "TarnHost.h"
#include "TarnLog.h"
#include "TarnReport.h"
#include "TarnServer.h"
#include "TempDir.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace tarn
{
namespace
{
constexpr std::chrono::seconds kMaxWait(120);

struct GetCase
{
    std::string Tag;
    std::string Object;   // on the demo server
    std::uint64_t uBytes; // pattern bytes the body must hold
    bool bExpectOk;
    bool bWantBody; // Request; Send when false (the outcome only)
};

std::vector<GetCase> GetCases()
{
    return {
        {"empty", "/bytes/0", 0, true, true},
        {"tiny", "/bytes/1", 1, true, true},
        {"page", "/bytes/4096", 4096, true, true},
        {"chunked", "/bytes/300000?chunked=1", 300000, true, true},
        {"large", "/bytes/4194304", 4194304, true, true},
        {"slow", "/delay/1500?bytes=65536", 65536, true, true},
        {"missing", "/status/404", 0, false, true}, // only status 200 counts as success
        {"ping", "/bytes/16", 16, true, false},
    };
}

// Bytes no text would hold: NULs, CR LFs, runs of hyphens, ending in CR LF.
std::string GeneratedFileBytes(std::size_t uSize)
{
    std::string Bytes;
    Bytes.reserve(uSize + 2);
    std::uint32_t uState = 2463534242u;
    for (std::size_t i = 0; i < uSize; ++i)
    {
        uState ^= uState << 13;
        uState ^= uState >> 17;
        uState ^= uState << 5;
        Bytes += static_cast<char>(uState & 0xFFu);
    }
    Bytes += "\r\n--\r\n";
    return Bytes;
}

bool WriteFile(const std::string& Path, const std::string& Bytes)
{
    std::ofstream File(Path, std::ios::binary | std::ios::trunc);
    File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    return static_cast<bool>(File);
}

std::string FirstDifference(const std::string& Got, const std::string& Expected)
{
    if (Got.size() != Expected.size())
        return std::to_string(Got.size()) + " bytes, expected " + std::to_string(Expected.size());
    for (std::size_t i = 0; i < Got.size(); ++i)
        if (Got[i] != Expected[i])
            return "byte " + std::to_string(i) + " differs";
    return std::string();
}

// Empty when the job's result is what it should be, else what is wrong.
std::string CheckGet(const GetCase& Case, const Job& Delivered)
{
    if (!Delivered.bDelivered)
        return "no result";
    if (!Case.bExpectOk)
        return Delivered.bResult ? "succeeded, expected to fail" : std::string();
    if (!Delivered.bResult)
        return "failed";
    return Case.bWantBody ? FirstDifference(Delivered.Body, PatternBytes(Case.uBytes)) : std::string();
}

std::vector<std::string> CheckPost(const std::vector<FormPart>& Sent, const Job& Delivered,
                                   const TarnServer& Server)
{
    std::vector<std::string> Problems;
    if (!Delivered.bDelivered || !Delivered.bResult)
        Problems.push_back(Delivered.bDelivered ? "the POST failed" : "no result for the POST");
    else
    {
        ReceivedForm Expected;
        Expected.Parts = Sent;
        if (Delivered.Body != DescribeForm(Expected))
            Problems.push_back("the server's answer does not describe the form that was sent");
    }

    const std::vector<ReceivedForm> Forms = Server.Forms();
    if (Forms.empty())
    {
        Problems.push_back("the server received no form");
        return Problems;
    }
    const ReceivedForm& Got = Forms.back();
    if (!Got.bParsed)
        Problems.push_back("the server could not parse the form");
    if (Got.Parts.size() != Sent.size())
        Problems.push_back("the server parsed " + std::to_string(Got.Parts.size()) + " parts, " +
                           std::to_string(Sent.size()) + " were sent");
    for (std::size_t i = 0; i < Sent.size() && i < Got.Parts.size(); ++i)
    {
        const FormPart& Want = Sent[i];
        const FormPart& Have = Got.Parts[i];
        if (Have.Name != Want.Name)
            Problems.push_back("part " + std::to_string(i + 1) + " is named '" + Have.Name + "', not '" +
                               Want.Name + "'");
        else if (Have.FileName != Want.FileName)
            Problems.push_back("part '" + Want.Name + "' has file name '" + Have.FileName + "'");
        else if (Have.Content != Want.Content)
            Problems.push_back("part '" + Want.Name + "': " + FirstDifference(Have.Content, Want.Content));
    }
    return Problems;
}

void PrintForm(const std::vector<FormPart>& Sent, const Job& Upload, const TarnServer& Server)
{
    const std::vector<ReceivedForm> Forms = Server.Forms();
    if (Upload.bResult)
    {
        std::printf("\nThe server's account of the form it received (its answer to the POST):\n");
        std::string Answer = Upload.Body;
        for (std::size_t uStart = 0; uStart < Answer.size();)
        {
            const std::size_t uEnd = Answer.find('\n', uStart);
            std::printf("  %s\n", Answer.substr(uStart, uEnd - uStart).c_str());
            uStart = uEnd == std::string::npos ? Answer.size() : uEnd + 1;
        }
    }
    else if (!Forms.empty())
    {
        std::printf("\nThe server's account of the form it received:\n%s",
                    DescribeForm(Forms.back()).c_str());
    }

    Table Parts({"part", "kind", ">sent", ">received", "byte for byte"});
    const std::vector<FormPart> Got = Forms.empty() ? std::vector<FormPart>() : Forms.back().Parts;
    for (std::size_t i = 0; i < Sent.size(); ++i)
    {
        const bool bHave = i < Got.size();
        const bool bSame = bHave && Got[i].Name == Sent[i].Name && Got[i].FileName == Sent[i].FileName &&
                           Got[i].Content == Sent[i].Content;
        Parts.AddRow({Sent[i].Name, Sent[i].FileName.empty() ? "text" : "file",
                      std::to_string(Sent[i].Content.size()),
                      bHave ? std::to_string(Got[i].Content.size()) : "-", bSame ? "yes" : "NO"});
    }
    std::printf("\nSent and received, part by part:\n%s", Parts.Render().c_str());
}
} // namespace

int RunDemo(const Options& Opts)
{
    TarnServer Server;
    if (Server.Start(0) == 0)
    {
        std::fprintf(stderr, "tarn: the demo server could not bind a loopback port\n");
        return eExitFailed;
    }
    const tarn::TempDir Files("tarn-demo");
    if (Files.Path().empty())
    {
        std::fprintf(stderr, "tarn: cannot create a temporary directory\n");
        return eExitFailed;
    }

    // The form: text fields around two files, each an edge of multipart framing.
    const std::string ReplayPath = Files.Path() + "/replay.bin";
    const std::string NotesPath = Files.Path() + "/notes.txt";
    const std::vector<FormPart> Sent = {
        {"player", "", "", "alice"},
        {"replay", ReplayPath, "", GeneratedFileBytes(256 * 1024)},
        {"comment", "", "", "two lines\r\nthe last ends in CR LF\r\n"},
        {"empty", "", "", ""},
        {"notes", NotesPath, "", "first line\r\nsecond line, without a final newline"},
    };
    std::vector<FormField> Fields;
    for (const FormPart& Part : Sent)
    {
        const bool bFile = !Part.FileName.empty();
        if (bFile && !WriteFile(Part.FileName, Part.Content))
        {
            std::fprintf(stderr, "tarn: cannot write %s\n", Part.FileName.c_str());
            return eExitFailed;
        }
        Fields.push_back(FormField{Part.Name, bFile ? Part.FileName : Part.Content, bFile});
    }

    const std::vector<GetCase> Cases = GetCases();
    std::printf(
        "tarn demo: server listening on %s; %zu GETs and a POST of %zu fields, all in flight at once\n",
        Server.BaseUrl().c_str(), Cases.size(), Sent.size());
    std::fflush(stdout);

    // Declared after the server, so that Release (which waits for running requests) comes first.
    Host TheHost;
    if (!TheHost.IsReady())
    {
        std::fprintf(stderr, "tarn: the interaction object could not be created\n");
        return eExitFailed;
    }
    for (const GetCase& Case : Cases)
        TheHost.StartGet(Case.Tag, Server.BaseUrl(), Case.Object,
                         "GET " + Case.Object + (Case.bWantBody ? "" : " (Send)"), Case.bWantBody);
    const std::size_t uUpload =
        TheHost.StartPost("upload", "127.0.0.1", "/upload", Server.Port(), Fields,
                          "POST /upload, " + std::to_string(Fields.size()) + " fields");

    ProgressLine Progress(!Opts.bVerbose);
    TheHost.Run(
        nullptr, [&] { Progress.Update(TheHost.Jobs()); }, kMaxWait);
    Progress.Clear();

    // The summary: one row per job, in the order they were started.
    std::size_t uWrong = 0;
    Table Summary({"tag", "request", "expected", "result", ">bytes", ">seconds", "check"});
    const std::vector<Job>& Jobs = TheHost.Jobs();
    std::vector<std::string> PostProblems = CheckPost(Sent, Jobs[uUpload], Server);
    for (std::size_t i = 0; i < Jobs.size(); ++i)
    {
        const Job& Each = Jobs[i];
        std::string Problem;
        if (i == uUpload)
            Problem = PostProblems.empty() ? std::string() : PostProblems.front();
        else
            Problem = CheckGet(Cases[i], Each);
        const bool bExpectOk = i == uUpload || Cases[i].bExpectOk;
        uWrong += Problem.empty() ? 0 : 1;
        Summary.AddRow({Each.Tag, Each.Label, bExpectOk ? "ok" : "failure",
                        !Each.bDelivered ? "-" : (Each.bResult ? "ok" : "failed"),
                        Each.bWantBody ? std::to_string(Each.uBytes) : "-",
                        Each.bDelivered ? FormatSeconds(Each.dSeconds) : "-",
                        Problem.empty() ? "as expected" : "WRONG: " + Problem});
    }
    std::printf("\n%s", Summary.Render().c_str());
    PrintForm(Sent, Jobs[uUpload], Server);
    for (std::size_t i = 1; i < PostProblems.size(); ++i)
        std::printf("  WRONG: %s\n", PostProblems[i].c_str());

    if (uWrong == 0)
        std::printf("\nAll %zu results are as they should be.\n", Jobs.size());
    else
    {
        std::printf("\n%zu of %zu results are not as they should be.\n", uWrong, Jobs.size());
        if (!Opts.bVerbose && HiddenLogLines() > 0)
            std::printf("%zu library log line(s) were hidden; run 'tarn -v demo' to see them.\n",
                        HiddenLogLines());
    }
    std::fflush(stdout);
    return uWrong == 0 ? eExitOk : eExitFailed;
}
} // namespace tarn
