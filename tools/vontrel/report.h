// SPDX-License-Identifier: MIT
// How the vontrel tool ends a run that failed: the exit status for each
// kind of failure, the message on standard error with what to try, and with
// --json one JSON document on standard output that holds the error.
#ifndef VONTREL_TOOLS_VONTREL_REPORT_H
#define VONTREL_TOOLS_VONTREL_REPORT_H

#include <exception>
#include <string>
#include <system_error>

namespace vontrel::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // device, link, output or bench failure
inline constexpr int kExitUsage = 2;    // refused before anything was sent

// "Vontrel_ReadLD failed: FT_IO_ERROR (4): input/output error on the link".
std::string FailureText(const std::system_error &e);

// FailureText, or what the simulated bench says is wrong with it when it is
// the D2XX library in use and out of order.
std::string DescribeFailure(const std::system_error &e);

// What to try after a failure with this D2XX status, or "".
std::string HintFor(int status);

// Reports the failure a subcommand threw; returns the exit status.
int ReportFailure(bool json, const std::exception_ptr &failure);

// Reports a command line the parser refused; returns kExitUsage.
int ReportUsage(bool json, const std::string &message);

}  // namespace vontrel::tool

#endif
