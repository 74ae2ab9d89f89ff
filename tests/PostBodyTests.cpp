// NW_HttpClient::GetPostBuffer, the multipart/form-data body: its exact bytes, round trips
// through real multipart parsers (cpp-httplib's behind a loopback server, and Python's email
// package when python3 is there), files that change while the body is built, the size limits,
// the delimiter check and exhausted memory, each failure with its log line.
#include "EnvGuard.h"
#include "FifoChoreography.h"
#include "LogCapture.h"
#include "LoopbackServerTest.h"
#include "NW_HttpClient.h"
#include "Posix.h"
#include "TarnServer.h"
#include "TempDir.h"
#include "TestSockets.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace
{
using Lines = std::vector<std::string>;
using namespace std::string_literals;

const std::string BOUNDARY = NW_POST_BOUNDARY;
const std::string CONTENT_TYPE = "multipart/form-data; boundary=" + BOUNDARY;
const unsigned long long MAX_BODY = 0x7FFFFFFFull;

std::string TextPart(const std::string& Name, const std::string& Value)
{
    return "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + Name + "\"\r\n\r\n" + Value +
           "\r\n";
}

std::string FilePart(const std::string& Name, const std::string& Path, const std::string& Bytes)
{
    return "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + Name + "\"; filename=\"" + Path +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + Bytes + "\r\n";
}

std::string Closing()
{
    return "--" + BOUNDARY + "--\r\n";
}

std::string Process(const std::string& Condition)
{
    return ProcessErrorLine(Condition, "NW_HttpClient::GetPostBuffer");
}

std::string Check(const std::string& Condition)
{
    return CheckErrorLine(Condition, "NW_HttpClient::GetPostBuffer");
}

const std::string FILE_MISSING = Check("hFile != INVALID_HANDLE_VALUE");
const std::string READ_FAILED = Check("nRetCode");
const std::string DELIMITER_IN_VALUE = Process("!ContainsDelimiterLine(pszValue, uValueLen)");
const std::string DELIMITER_IN_FILE = Process("!ContainsDelimiterLine(pbyCursor, dwRead)");
const std::string FILE_TOO_LARGE = Process("ullFileSize <= NW_POST_BODY_MAX_SIZE");
const std::string BODY_TOO_LARGE = Process("ullBodySize <= NW_POST_BODY_MAX_SIZE");
const std::string FILE_GREW = Process("ullFileSize <= dwFileRoom");
const std::string NO_MEMORY = Process("pbyBody");

// Every byte value, NULs and CR LF pairs among them, and no final newline.
std::string BinaryBytes()
{
    std::string Bytes;
    for (int i = 0; i < 3 * 256; ++i)
        Bytes += static_cast<char>((i * 7) & 0xFF);
    return Bytes + std::string("\0\0\r\n\0", 5) + "end";
}

using tarn::TempDir;
using tarn::test::MakeSparseFile;
using tarn::test::OpenFileCount;

struct Built
{
    int nResult = 0;
    std::string Body;
    bool bOutUntouched = false; // on failure: both out-pointers kept what they held
};

Built Build(NW_HttpClient& Client)
{
    unsigned char bySentinel = 0;
    unsigned char* pbyBody = &bySentinel;
    DWORD dwSize = 0xA5A5A5A5u;
    Built Result;
    Result.nResult = Client.GetPostBuffer(&pbyBody, &dwSize);
    if (Result.nResult == 1)
    {
        Result.Body.assign(reinterpret_cast<const char*>(pbyBody), dwSize);
        NW_BodyFree(pbyBody);
    }
    else
        Result.bOutUntouched = pbyBody == &bySentinel && dwSize == 0xA5A5A5A5u;
    return Result;
}

std::vector<std::pair<std::string, std::string>> ListOf(NW_HttpClient& Client)
{
    std::vector<std::pair<std::string, std::string>> List;
    for (int i = 0; i < Client.GetPostParamCount(); ++i)
    {
        char* pszName = nullptr;
        char* pszValue = nullptr;
        if (Client.GetPostParam(i, &pszName, &pszValue))
            List.emplace_back(pszName, pszValue);
    }
    return List;
}

// What a parser should hand back for each part.
struct Expected
{
    std::string Name;
    std::string FileName; // empty for a text part
    std::string Content;
};

void ExpectParts(const std::vector<Expected>& Want, const std::vector<tarn::FormPart>& Got,
                 const char* pszParser)
{
    SCOPED_TRACE(pszParser);
    ASSERT_EQ(Want.size(), Got.size());
    for (size_t i = 0; i < Want.size(); ++i)
    {
        SCOPED_TRACE("part " + std::to_string(i) + " (" + Want[i].Name + ")");
        EXPECT_EQ(Want[i].Name, Got[i].Name);
        EXPECT_EQ(Want[i].FileName, Got[i].FileName);
        EXPECT_EQ(Want[i].FileName.empty() ? "" : "application/octet-stream", Got[i].ContentType);
        EXPECT_EQ(Want[i].Content.size(), Got[i].Content.size());
        EXPECT_TRUE(Want[i].Content == Got[i].Content);
    }
}

std::string Unhex(const std::string& Text)
{
    std::string Bytes;
    for (size_t i = 0; i + 1 < Text.size(); i += 2)
        Bytes += static_cast<char>(std::stoi(Text.substr(i, 2), nullptr, 16));
    return Bytes;
}

// Not on Windows: the tests there run under Wine, which starts no Linux python3 for them.
bool HavePython()
{
    static const bool s_bHave = []
    {
        std::string Output;
        return tarn::test::RunCommand("python3 -c 'import email' 2>&1", Output) == 0;
    }();
    return s_bHave;
}

// Python's email package, which takes a delimiter after CR LF, a bare LF or a bare CR alike
// (support/parse_multipart.py).
std::optional<std::vector<tarn::FormPart>> ParseWithPython(const TempDir& Dir, const std::string& Body)
{
    const std::string BodyPath = Dir.Write("body.bin", Body);
    const std::string Command = "python3 '" TARN_MULTIPART_PARSER "' '" + BOUNDARY + "' " + BodyPath;
    std::string Output;
    const int nStatus = tarn::test::RunCommand(Command, Output);
    if (nStatus != 0)
    {
        ADD_FAILURE() << "python3 parser: " << Output;
        return std::nullopt;
    }
    std::vector<tarn::FormPart> Parts;
    std::istringstream Stream(Output);
    std::string Name, FileName, ContentType, Content;
    auto Field = [](const std::string& Text) { return Text == "-" ? std::string() : Unhex(Text); };
    while (Stream >> Name >> FileName >> ContentType >> Content)
        Parts.push_back({Field(Name), Field(FileName), Field(ContentType), Field(Content)});
    return Parts;
}

class PostBodyTest : public LoopbackServerTest
{
protected:
    // POSTs the body to the loopback server and returns the form as its parser saw it.
    static tarn::ReceivedForm PostToServer(const std::string& Body)
    {
        const size_t uBefore = s_pServer->Forms().size();
        const std::string Response = tarn::test::HttpExchange(
            s_pServer->Port(), "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + CONTENT_TYPE +
                                   "\r\nContent-Length: " + std::to_string(Body.size()) +
                                   "\r\nConnection: close\r\n\r\n" + Body);
        EXPECT_EQ(0u, Response.rfind("HTTP/1.1 200 ", 0)) << Response;
        const std::vector<tarn::ReceivedForm> Forms = s_pServer->Forms();
        if (Forms.size() != uBefore + 1)
        {
            ADD_FAILURE() << "the server received no form";
            return tarn::ReceivedForm();
        }
        EXPECT_TRUE(Forms.back().bParsed);
        EXPECT_EQ(CONTENT_TYPE, Forms.back().ContentTypeHeader);
        return Forms.back();
    }

    // The body must come back part for part, byte for byte, from every parser at hand.
    void ExpectRoundTrip(const std::string& Body, const std::vector<Expected>& Want, bool bPython = true)
    {
        ExpectParts(Want, PostToServer(Body).Parts, "cpp-httplib");
        if (!bPython || !HavePython())
            return;
        const std::optional<std::vector<tarn::FormPart>> Parts = ParseWithPython(m_Dir, Body);
        ASSERT_TRUE(Parts.has_value());
        ExpectParts(Want, *Parts, "python email");
    }

    // A failed build: its log lines, nothing handed out, no file left open, the list as it was.
    void ExpectFailure(NW_HttpClient& Client, const Lines& WantLog)
    {
        const auto ListBefore = ListOf(Client);
        const size_t uFdsBefore = OpenFileCount();
        m_Log.Clear();
        const Built Result = Build(Client);
        EXPECT_EQ(0, Result.nResult);
        EXPECT_TRUE(Result.bOutUntouched);
        EXPECT_EQ(WantLog, m_Log.LinesWithoutNumbers());
        EXPECT_EQ(uFdsBefore, OpenFileCount());
        EXPECT_EQ(ListBefore, ListOf(Client));
    }

    std::string BuildOk(NW_HttpClient& Client, const Lines& WantLog = Lines())
    {
        m_Log.Clear();
        const Built Result = Build(Client);
        EXPECT_EQ(1, Result.nResult);
        EXPECT_EQ(WantLog, m_Log.LinesWithoutNumbers());
        return Result.Body;
    }

    TempDir m_Dir{"PostBodyTests"};
    LogCapture m_Log;
};

} // namespace

// ---- The framing, byte for byte -------------------------------------------------------------

TEST_F(PostBodyTest, EmptyListGivesTheClosingDelimiterAlone)
{
    // Not sent through the parsers: RFC 2046 asks for at least one body part, and both refuse a
    // multipart body without one.
    NW_HttpClient Client;
    const std::string Body = BuildOk(Client);
    // The one place the boundary's bytes are spelled out: servers see this value on the wire.
    EXPECT_EQ("---------------------------24822581126073--\r\n", Body);
    EXPECT_EQ(45u, Body.size());
}

TEST_F(PostBodyTest, OneShortTextPart)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "a", "b"));
    const std::string Body = BuildOk(Client);
    const std::string Part = "--" + BOUNDARY +
                             "\r\n"
                             "Content-Disposition: form-data; name=\"a\"\r\n"
                             "\r\n"
                             "b\r\n";
    EXPECT_EQ(90u, Part.size());
    EXPECT_EQ(Part + Closing(), Body);
    EXPECT_EQ(135u, Body.size());
    ExpectRoundTrip(Body, {{"a", "", "b"}});
}

TEST_F(PostBodyTest, EmptyValueIsFollowedDirectlyByTheCrLfOfItsPart)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "empty", ""));
    const std::string Body = BuildOk(Client);
    EXPECT_EQ(TextPart("empty", "") + Closing(), Body);
    EXPECT_EQ(88u + 5u + 45u, Body.size());
    EXPECT_NE(std::string::npos, Body.find("name=\"empty\"\r\n\r\n\r\n--" + BOUNDARY + "--\r\n"));
    ExpectRoundTrip(Body, {{"empty", "", ""}});
}

TEST_F(PostBodyTest, FileAndTextPartsInEitherOrder)
{
    const std::string Bytes = "file bytes\r\n";
    const std::string Path = m_Dir.Write("f.bin", Bytes);

    NW_HttpClient FileFirst;
    ASSERT_EQ(1, FileFirst.AddPostParam(eBinaryFile, "upload", Path.c_str()));
    ASSERT_EQ(1, FileFirst.AddPostParam(eNormal, "after", "v"));
    const std::string FileFirstBody = BuildOk(FileFirst);
    EXPECT_EQ(FilePart("upload", Path, Bytes) + TextPart("after", "v") + Closing(), FileFirstBody);
    // A file's last byte, then the CR LF that belongs to the next delimiter.
    EXPECT_NE(std::string::npos, FileFirstBody.find("bytes\r\n\r\n--" + BOUNDARY + "\r\n"));
    ExpectRoundTrip(FileFirstBody, {{"upload", Path, Bytes}, {"after", "", "v"}});

    NW_HttpClient FileLast;
    ASSERT_EQ(1, FileLast.AddPostParam(eNormal, "before", "v\r\n"));
    ASSERT_EQ(1, FileLast.AddPostParam(eBinaryFile, "upload", Path.c_str()));
    const std::string FileLastBody = BuildOk(FileLast);
    EXPECT_EQ(TextPart("before", "v\r\n") + FilePart("upload", Path, Bytes) + Closing(), FileLastBody);
    EXPECT_EQ(88u + 6u + 3u + 141u + 6u + Path.size() + Bytes.size() + 45u, FileLastBody.size());
    ExpectRoundTrip(FileLastBody, {{"before", "", "v\r\n"}, {"upload", Path, Bytes}});
}

TEST_F(PostBodyTest, EmptyFileHasItsHeaderOnly)
{
    const std::string Path = m_Dir.Write("empty.bin", "");
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "nothing", Path.c_str()));
    const std::string Body = BuildOk(Client);
    EXPECT_EQ(FilePart("nothing", Path, "") + Closing(), Body);
    ExpectRoundTrip(Body, {{"nothing", Path, ""}});
}

TEST_F(PostBodyTest, MissingFileLogsOnceAndSendsItsPartWithoutBytes)
{
    // The path goes out exactly as given, backslashes and spaces included.
    const std::string Path = m_Dir.Path("C:\\Upload Dir\\missing report.bin");
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "before", "1"));
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "report", Path.c_str()));
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "after", "2"));
    const std::string Body = BuildOk(Client, {FILE_MISSING});
    EXPECT_EQ(TextPart("before", "1") + FilePart("report", Path, "") + TextPart("after", "2") + Closing(),
              Body);
    ExpectRoundTrip(Body, {{"before", "", "1"}, {"report", Path, ""}, {"after", "", "2"}});
}

TEST_F(PostBodyTest, SameNameTwiceSendsBothInTheOrderAdded)
{
    const std::string Path = m_Dir.Write("same.bin", "3");
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "same", "1"));
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "same", "2"));
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "same", Path.c_str()));
    const std::string Body = BuildOk(Client);
    EXPECT_EQ(TextPart("same", "1") + TextPart("same", "2") + FilePart("same", Path, "3") + Closing(), Body);
    ExpectRoundTrip(Body, {{"same", "", "1"}, {"same", "", "2"}, {"same", Path, "3"}});
}

TEST_F(PostBodyTest, BuildingTwiceGivesTheSameBytesAndLeavesTheListAlone)
{
    const std::string Path = m_Dir.Write("twice.bin", BinaryBytes());
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "t", "value"));
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "f", Path.c_str()));
    const auto ListBefore = ListOf(Client);
    const std::string First = BuildOk(Client);
    const std::string Second = BuildOk(Client);
    EXPECT_EQ(TextPart("t", "value") + FilePart("f", Path, BinaryBytes()) + Closing(), First);
    EXPECT_TRUE(First == Second);
    EXPECT_EQ(ListBefore, ListOf(Client));
}

// ---- Round trips through real parsers -------------------------------------------------------

TEST_F(PostBodyTest, EveryFieldAndFileComesBackByteForByte)
{
    const std::string Binary = BinaryBytes();
    const std::string NoNewline = "last line without a newline";
    const std::string EndsInCrLf = "text file\r\nending in CR LF\r\n";
    // Near misses: the delimiter one byte short, or not at the start of a line.
    const std::string NearMiss = "x\r\n--" + BOUNDARY.substr(0, BOUNDARY.size() - 1) + "\r\n";
    const std::string MidLine = "x--" + BOUNDARY + "\r\n---" + BOUNDARY + "--\r\n";
    const std::string BinaryPath = m_Dir.Write("binary.bin", Binary);
    const std::string NoNewlinePath = m_Dir.Write("no-newline.txt", NoNewline);
    const std::string CrLfPath = m_Dir.Write("crlf.txt", EndsInCrLf);
    const std::string NearMissPath = m_Dir.Write("near-miss.bin", NearMiss + MidLine);
    const std::string EmptyPath = m_Dir.Write("empty.bin", "");

    const std::vector<Expected> Want = {
        {"plain", "", "hello world"},
        {"ends-crlf", "", "line one\r\nline two\r\n"},
        {"only-crlf", "", "\r\n"},
        {"double-crlf", "", "\r\n\r\n"},
        {"empty", "", ""},
        {"space name", "", " leading and trailing spaces "},
        {"binary", BinaryPath, Binary},
        {"no-newline", NoNewlinePath, NoNewline},
        {"ends-crlf-file", CrLfPath, EndsInCrLf},
        {"after-file", "", "follows a file"},
        {"near-miss-value", "", NearMiss + MidLine},
        {"near-miss-file", NearMissPath, NearMiss + MidLine},
        {"empty-file", EmptyPath, ""},
        {"last", "", "tail\r\n"},
    };
    NW_HttpClient Client;
    for (const Expected& Part : Want)
        ASSERT_EQ(1,
                  Client.AddPostParam(Part.FileName.empty() ? eNormal : eBinaryFile, Part.Name.c_str(),
                                      Part.FileName.empty() ? Part.Content.c_str() : Part.FileName.c_str()));
    const std::string Body = BuildOk(Client);

    std::string WantBody;
    for (const Expected& Part : Want)
        WantBody += Part.FileName.empty() ? TextPart(Part.Name, Part.Content)
                                          : FilePart(Part.Name, Part.FileName, Part.Content);
    EXPECT_TRUE(WantBody + Closing() == Body);
    ExpectRoundTrip(Body, Want);
}

TEST_F(PostBodyTest, LargeFileAndLongTexts)
{
    // Texts far beyond any fixed room for a part's header, and a file of a few MiB.
    const std::string LargeBytes = tarn::PatternBytes(5u << 20);
    const std::string LargePath = m_Dir.Write("large.bin", LargeBytes);
    const std::string LongValue(100u << 10, 'v');
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "long-value", LongValue.c_str()));
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "large", LargePath.c_str()));
    const std::string Body = BuildOk(Client);
    EXPECT_TRUE(TextPart("long-value", LongValue) + FilePart("large", LargePath, LargeBytes) + Closing() ==
                Body);
    EXPECT_EQ(88u + 10u + LongValue.size() + 141u + 5u + LargePath.size() + LargeBytes.size() + 45u,
              Body.size());
    ExpectRoundTrip(Body, {{"long-value", "", LongValue}, {"large", LargePath, LargeBytes}}, false);

    // Long names and paths go into the header lines whole (cpp-httplib caps a header line, so
    // only Python reads this one back).
    const std::string LongName(10u << 10, 'n');
    const std::string LongPath = m_Dir.Path(std::string(200, 'p') + "/" + std::string(4000, 'q'));
    NW_HttpClient Long;
    ASSERT_EQ(1, Long.AddPostParam(eNormal, LongName.c_str(), "v"));
    ASSERT_EQ(1, Long.AddPostParam(eBinaryFile, "f", LongPath.c_str()));
    const std::string LongBody = BuildOk(Long, {FILE_MISSING});
    EXPECT_EQ(TextPart(LongName, "v") + FilePart("f", LongPath, "") + Closing(), LongBody);
    if (HavePython())
    {
        const std::optional<std::vector<tarn::FormPart>> Parts = ParseWithPython(m_Dir, LongBody);
        ASSERT_TRUE(Parts.has_value());
        ExpectParts({{LongName, "", "v"}, {"f", LongPath, ""}}, *Parts, "python email");
    }
}

TEST_F(PostBodyTest, PythonEmailParserIsAvailable)
{
    // The round trips above run Python's parser only when python3 is there; say so when not.
    if (!HavePython())
        GTEST_SKIP()
            << "python3 not found (or under Wine): bodies were checked by cpp-httplib's parser alone";
    const std::optional<std::vector<tarn::FormPart>> Parts =
        ParseWithPython(m_Dir, TextPart("a", "b") + FilePart("f", "p", "\0x"s) + Closing());
    ASSERT_TRUE(Parts.has_value());
    ExpectParts({{"a", "", "b"}, {"f", "p", "\0x"s}}, *Parts, "python email");
}

// ---- A delimiter inside the data ------------------------------------------------------------

TEST_F(PostBodyTest, DelimiterInAValueFailsTheBuild)
{
    const std::string Dash = "--" + BOUNDARY;
    const std::vector<std::string> Values = {
        "a\r\n" + Dash + "\r\nContent-Disposition: form-data; name=\"forged\"\r\n\r\nx", // forges a field
        Dash,                                                   // at the start: after the header's CR LF
        Dash + "--",                                            // a closing delimiter at the start
        "last line\r\n" + Dash,                                 // at the very end
        "bare LF\n" + Dash + "\n",                              // lenient parsers break lines at LF
        "bare CR\r" + Dash,                                     // ... and at CR
        std::string(27, '-') + "\r\n" + Dash + "2482258112607", // hyphens before, digits after
    };
    for (const std::string& Value : Values)
    {
        SCOPED_TRACE(Value);
        NW_HttpClient Client;
        ASSERT_EQ(1, Client.AddPostParam(eNormal, "ok", "fine"));
        ASSERT_EQ(1, Client.AddPostParam(eNormal, "bad", Value.c_str()));
        ExpectFailure(Client, {DELIMITER_IN_VALUE});
    }
}

TEST_F(PostBodyTest, DelimiterIsFoundAtEveryOffset)
{
    // The scan samples the data; a delimiter must be caught wherever it sits, and a near miss
    // passed wherever it sits.
    const std::string Dash = "--" + BOUNDARY;
    for (size_t uOffset = 0; uOffset < 100; ++uOffset)
    {
        SCOPED_TRACE(uOffset);
        const std::string Filler = std::string(uOffset, uOffset % 3 ? 'x' : '-') + "\n";
        NW_HttpClient Bad;
        ASSERT_EQ(1, Bad.AddPostParam(eNormal, "v", (Filler + Dash + "tail").c_str()));
        ExpectFailure(Bad, {DELIMITER_IN_VALUE});

        NW_HttpClient Near;
        ASSERT_EQ(1, Near.AddPostParam(eNormal, "v", (Filler + "-" + Dash + "tail").c_str()));
        ASSERT_EQ(1, Near.AddPostParam(eNormal, "w", (Filler + Dash.substr(0, 40) + "tail").c_str()));
        BuildOk(Near);
    }
}

TEST_F(PostBodyTest, DelimiterInAFileFailsTheBuild)
{
    const std::string Dash = "--" + BOUNDARY;
    const std::vector<std::string> Contents = {
        Dash + "\r\n",                                    // at the file's first byte
        BinaryBytes() + "\r\n" + Dash + "--\r\ntrailing", // after binary bytes
        std::string("\0\0\0\n", 4) + Dash,                // at the very end
    };
    for (const std::string& Content : Contents)
    {
        const std::string Path = m_Dir.Write("delimiter.bin", Content);
        NW_HttpClient Client;
        ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "f", Path.c_str()));
        ASSERT_EQ(1, Client.AddPostParam(eNormal, "t", "v"));
        ExpectFailure(Client, {DELIMITER_IN_FILE});
    }
}

// ---- Limits and memory ----------------------------------------------------------------------

TEST_F(PostBodyTest, FilesAndBodiesPast2GiBFailBeforeAnythingLargeIsAllocated)
{
    // Sparse files: their sizes cost no disk, and the checks come before the body block, so
    // none of this allocates or reads gigabytes.
    struct Case
    {
        unsigned long long ullFileSize;
        std::string Line;
    };
    const std::string Name = "f";
    const std::string Path = m_Dir.Path("sparse.bin");
    const unsigned long long ullPartFixed = 141 + Name.size() + Path.size() + 45;
    const Case Cases[] = {
        {5ull << 30, FILE_TOO_LARGE},                  // past 4 GiB: needs the size's high part
        {4ull << 30, FILE_TOO_LARGE},                  // low part 0
        {(4ull << 30) - 1, FILE_TOO_LARGE},            // low part INVALID_FILE_SIZE, yet a size
        {MAX_BODY + 1, FILE_TOO_LARGE},                // 2 GiB
        {MAX_BODY, BODY_TOO_LARGE},                    // the file fits, its part does not
        {MAX_BODY + 1 - ullPartFixed, BODY_TOO_LARGE}, // one byte over
    };
    for (const Case& Each : Cases)
    {
        SCOPED_TRACE(Each.ullFileSize);
        ASSERT_EQ(Path, MakeSparseFile(m_Dir.Path("sparse.bin"), Each.ullFileSize));
        NW_HttpClient Client;
        ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, Name.c_str(), Path.c_str()));
        ExpectFailure(Client, {Each.Line});
    }

    // The limit counts the texts too: a body one byte over because of its text part.
    const std::string SmallPath = m_Dir.Path("small.bin");
    const std::string Small =
        MakeSparseFile(m_Dir.Path("small.bin"), MAX_BODY + 1 - (88 + 2) - (141 + 1 + SmallPath.size()) - 45);
    ASSERT_EQ(SmallPath, Small);
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "t", "v"));
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "f", Small.c_str()));
    ExpectFailure(Client, {BODY_TOO_LARGE});
}

namespace
{
// Runs in a child process that cannot get 1 GiB more: its address space is capped 256 MiB above
// what it uses (under AddressSanitizer, which reserves terabytes of address space, its allocator
// refuses blocks past 512 MiB instead). A 1 GiB body then cannot be allocated, and files or
// bodies past the limit must be refused before their block is tried. Exit code 0 when each
// build fails with its own line.
int BuildWithLittleMemory()
{
    const TempDir Dir("PostBodyTests");
    const std::string Fits = MakeSparseFile(Dir.Path("fits.bin"), 1ull << 30);
    const std::string TooLarge = MakeSparseFile(Dir.Path("too-large.bin"), MAX_BODY + 1);
    const std::string AtLimit = MakeSparseFile(Dir.Path("at-limit.bin"), MAX_BODY);
    if (Fits.empty() || TooLarge.empty() || AtLimit.empty())
        return 10;
    if (!tarn::test::kAddressSanitizer && !tarn::test::CapAddressSpaceAbove(256ull << 20))
        return 10;

    LogCapture Capture;
    NW_HttpClient NoMemory;
    NoMemory.AddPostParam(eBinaryFile, "f", Fits.c_str());
    if (Build(NoMemory).nResult != 0 || Capture.LinesWithoutNumbers() != Lines{NO_MEMORY})
        return 11;

    Capture.Clear();
    NW_HttpClient FileOverLimit;
    FileOverLimit.AddPostParam(eBinaryFile, "f", TooLarge.c_str());
    if (Build(FileOverLimit).nResult != 0 || Capture.LinesWithoutNumbers() != Lines{FILE_TOO_LARGE})
        return 12;

    Capture.Clear();
    NW_HttpClient BodyOverLimit;
    BodyOverLimit.AddPostParam(eBinaryFile, "f", AtLimit.c_str());
    if (Build(BodyOverLimit).nResult != 0 || Capture.LinesWithoutNumbers() != Lines{BODY_TOO_LARGE})
        return 13;
    return 0;
}
} // namespace

// Not a PostBodyTest: the child runs the test again from its start and leaves through exit(),
// which would leave a fixture's directory behind.
TEST(PostBodyMemoryTest, ExhaustedMemoryFailsWithALine)
{
    if (!tarn::test::kHavePosix)
        GTEST_SKIP() << "Windows has no address-space limit for a child process to run out of memory under";
    if (tarn::test::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer's allocator is not made to hand out null here";
    // The child is this program run again, so it sees the options set here.
    tarn::test::EnvGuard Env;
    if (tarn::test::kAddressSanitizer)
    {
        const char* pszOld = std::getenv("ASAN_OPTIONS");
        const std::string Old = pszOld != nullptr ? pszOld : "";
        const std::string Options =
            Old + (Old.empty() ? "" : ":") + "allocator_may_return_null=1:max_allocation_size_mb=512";
        Env.Set("ASAN_OPTIONS", Options.c_str());
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(BuildWithLittleMemory()), testing::ExitedWithCode(0), "");
}

// ---- Files that change or fail while the body is built --------------------------------------

// Paced by FIFOs (support/FifoChoreography.h).
TEST_F(PostBodyTest, FileThatChangesBetweenSizingAndReading)
{
    if (!tarn::test::kHavePosix)
        GTEST_SKIP() << "paced by FIFOs, which Windows does not have";
    tarn::test::FifoChoreography Steps(m_Dir.Path());
    ASSERT_TRUE(Steps.Ready());
    const std::string Path = m_Dir.Path("changing.bin");
    auto Prepare = [&](NW_HttpClient& Client)
    {
        ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "sync1", Steps.Fifo1().c_str()));
        ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "changing", Path.c_str()));
        ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "sync2", Steps.Fifo2().c_str()));
        ASSERT_EQ(1, Client.AddPostParam(eNormal, "after", "v"));
    };
    auto BodyWith = [&](const std::string& Bytes)
    {
        return FilePart("sync1", Steps.Fifo1(), "") + FilePart("changing", Path, Bytes) +
               FilePart("sync2", Steps.Fifo2(), "") + TextPart("after", "v") + Closing();
    };

    // The file's bytes when sized and when read (none: missing), the log, and the bytes sent (none:
    // the build fails).
    struct Change
    {
        const char* pszWhat;
        std::optional<std::string> Sized, Read;
        Lines Log;
        std::optional<std::string> Sent;
    };
    const Change Changes[] = {
        {"shrinks: the body closes up behind the bytes read, nothing unwritten is sent",
         tarn::PatternBytes(64 << 10),
         "short",
         {},
         "short"},
        {"grows: more bytes than the room kept for them", "short", "longer now", {FILE_GREW}, std::nullopt},
        {"appears: missing when sized, there when read", std::nullopt, "new", {FILE_GREW}, std::nullopt},
        {"vanishes: there when sized, missing when read",
         tarn::PatternBytes(1000),
         std::nullopt,
         {FILE_MISSING},
         ""},
    };
    auto Put = [&](const std::optional<std::string>& Bytes)
    {
        if (Bytes)
            m_Dir.Write("changing.bin", *Bytes);
        else
            std::filesystem::remove(Path);
    };
    for (const Change& Case : Changes)
    {
        SCOPED_TRACE(Case.pszWhat);
        Put(Case.Sized);
        NW_HttpClient Client;
        Prepare(Client);
        m_Log.Clear();
        Built Result;
        Steps.Run([&] { Result = Build(Client); }, [&] { Put(Case.Read); });
        ASSERT_TRUE(Steps.Met());
        EXPECT_EQ(Case.Log, m_Log.LinesWithoutNumbers());
        EXPECT_EQ(Case.Sent ? 1 : 0, Result.nResult);
        if (!Case.Sent)
        {
            EXPECT_TRUE(Result.bOutUntouched);
            continue;
        }
        EXPECT_EQ(BodyWith(*Case.Sent), Result.Body);
        ExpectRoundTrip(Result.Body, {{"sync1", Steps.Fifo1(), ""},
                                      {"changing", Path, *Case.Sent},
                                      {"sync2", Steps.Fifo2(), ""},
                                      {"after", "", "v"}});
    }
}

TEST_F(PostBodyTest, FailedReadKeepsWhatWasReadAndGoesOn)
{
    // A sysfs attribute that reports 4096 bytes and fails every read with EIO.
    const char* const pszPath = "/sys/devices/software/power/autosuspend_delay_ms";
    if (!tarn::test::ReadFails(pszPath))
        GTEST_SKIP() << pszPath << " is not there or reads without failing (Windows has no such file)";

    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eBinaryFile, "attr", pszPath));
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "after", "v"));
    const std::string Body = BuildOk(Client, {READ_FAILED});
    EXPECT_EQ(FilePart("attr", pszPath, "") + TextPart("after", "v") + Closing(), Body);
}

TEST_F(PostBodyTest, NullOutPointersFailWithTheirLines)
{
    NW_HttpClient Client;
    ASSERT_EQ(1, Client.AddPostParam(eNormal, "a", "b"));
    unsigned char* pbyBody = nullptr;
    DWORD dwSize = 7;

    EXPECT_EQ(0, Client.GetPostBuffer(nullptr, &dwSize));
    EXPECT_EQ(7u, dwSize);
    EXPECT_EQ(0, Client.GetPostBuffer(&pbyBody, nullptr));
    EXPECT_EQ(nullptr, pbyBody);
    EXPECT_EQ((Lines{Process("ppbyPostBuffer"), Process("pdwPostBufferSize")}), m_Log.LinesWithoutNumbers());
    EXPECT_EQ(1, Client.GetPostParamCount());
}
