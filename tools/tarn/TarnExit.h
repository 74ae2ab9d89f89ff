#pragma once

// tarn's exit status: one number per class of failure, curl's number where curl has the class,
// so that scripts written for curl tell the same failures apart. With several URLs the status is
// that of the first URL (in command-line order) that failed.
namespace tarn
{
enum ExitStatus
{
    eExitOk = 0,
    eExitFailed = 1,          // a failure of no class below (the library refused the request, ...)
    eExitUsage = 2,           // the command line cannot be acted on
    eExitInit = 2,            // the interaction object could not be created (curl's failed init)
    eExitBadUrl = 3,          // a URL tarn cannot send: malformed, another scheme, too long
    eExitNotResolved = 6,     // the host name was not resolved
    eExitConnect = 7,         // no connection: refused, unreachable, or no answer to the connect
    eExitBadReply = 8,        // the reply is not HTTP, or its framing contradicts itself
    eExitHttpError = 22,      // the server answered with a status other than 200
    eExitWrite = 23,          // a body could not be written (-o file, directory, standard output)
    eExitRead = 26,           // a file to upload (or standard input for @-) could not be read
    eExitOutOfMemory = 27,    // out of memory
    eExitTimedOut = 28,       // the server went silent for longer than the library's time-out
    eExitTls = 35,            // the TLS handshake failed
    eExitRedirects = 47,      // too many redirects
    eExitConnectionLost = 56, // the connection was closed or reset before the whole answer came
    eExitCertificate = 60,    // the server's certificate was not accepted
    eExitTooLarge = 63,       // the response is larger than the library can hold (4 GiB)
    eExitCaFile = 77,         // the CA file or directory named for https:// could not be read
};
} // namespace tarn
