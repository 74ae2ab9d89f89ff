#pragma once

// TarnInteraction: HTTP requests run in the background, results handed back on the host's thread.
//
// Threading: call every operation from one thread (the host's). Callbacks run only inside Poll,
// on that thread. Texts are 8-bit, NUL-terminated; results are 1 for success and 0 for failure.

// The version of this header, which the library it comes with shares. A host can test it at build
// time: #if TARNINTERACTION_VERSION_MAJOR == 1 && TARNINTERACTION_VERSION_MINOR >= 1
#define TARNINTERACTION_VERSION_MAJOR 1
#define TARNINTERACTION_VERSION_MINOR 0
#define TARNINTERACTION_VERSION_PATCH 0
#define TARNINTERACTION_VERSION "1.0.0"

#if defined(_WIN32)
#if defined(TARNINTERACTION_BUILDING)
#define TARNINTERACTION_API __declspec(dllexport)
#elif defined(TARNINTERACTION_STATIC)
#define TARNINTERACTION_API
#else
#define TARNINTERACTION_API __declspec(dllimport)
#endif
#else
#define TARNINTERACTION_API __attribute__((visibility("default")))
#endif

// Completion of a Send: the request's tag and 1 when the transfer succeeded (status 200, body read).
typedef void (*SendCallback)(const char* pszTag, int bResult);

// Completion of a Request: as SendCallback, plus the response body. On success pbyData points to
// uSize bytes followed by one NUL byte that uSize does not count; on failure it is null and uSize 0.
// Tag and data live only until the callback returns: copy what you keep.
typedef void (*RequestCallback)(const char* pszTag, int bResult, const unsigned char* pbyData,
                                unsigned int uSize);

class ITarnInteraction
{
public:
    // Clears the parameters collected for the next request. Always returns 1.
    virtual int Reset() = 0;

    // Drops one holder and returns how many remain. The last Release waits for running requests
    // to end and destroys the object without calling their callbacks; it returns 0.
    virtual int Release() = 0;

    // Delivers at most one finished request, the earliest started, by calling its callback.
    // Cheap enough for every pass of the main loop. Callbacks may call any operation, Release too.
    virtual void Poll() = 0;

    // Clears the parameters collected for the next request. Returns 1 whenever a request is pending
    // (created by AddParam and not yet dispatched), even one whose parameters were already cleared;
    // 0 when no request is pending.
    virtual int ClearParam() = 0;

    // Adds a form field (bBinaryFile 0: the value is the text) or a file upload (non-zero: the value
    // is a path, read when the request runs). Names must be non-empty and free of CR, LF and '"';
    // names and paths must not end in a backslash.
    virtual int AddParam(const char* cszParamName, const char* cszParamValue, int bBinaryFile) = 0;

    // Number of parameters collected for the next request.
    virtual int GetParamCount() = 0;

    // Reads back parameter nIndex (0 is the first added). The texts stay valid until the
    // parameters are cleared or the request is started.
    virtual int GetParam(int nIndex, char** ppszRetParamName, char** ppRetParamValue) = 0;

    // Starts the request in the background. cszPostFlag empty: a GET of cszAddress followed directly
    // by cszObjectName (nPort unused). Non-empty: a multipart POST of the collected parameters to
    // server cszAddress, path cszObjectName, port nPort. The parameters go with the request.
    // pfnCallback may be null. Returns 1 when the request is running.
    virtual int Send(const char* cszTag, const char* cszAddress, const char* cszObjectName,
                     const char* cszPostFlag, int nPort, SendCallback pfnCallback) = 0;

    // As Send, and the callback also receives the response body.
    virtual int Request(const char* cszTag, const char* cszAddress, const char* cszObjectName,
                        const char* cszPostFlag, int nPort, RequestCallback pfnCallback) = 0;

    // Hosts never delete the object; Release does.
    virtual ~ITarnInteraction() {}
};

// Returns the process's one interaction object, counting one more holder, or null when it cannot
// be created. Each successful call is balanced by one Release.
extern "C" TARNINTERACTION_API ITarnInteraction* CreateTarnInteraction();
