// Which of a client's servers a run uses: the first that answers its version file. A mirror
// that is down (connection refused, time-out) or failing (a 5xx answer) would otherwise end
// every run that starts there, although another server has the same files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/inet.h"

namespace korvun {

class StopEvent;

// True when a request for the version file at address gets a 2xx answer. Anything else (no
// connection, no answer in time, an error status) says that this server cannot serve a run.
bool ServerAnswers(InternetSession& session, const std::string& address);

// The index of the first address that answers, asked in order. 0 when none does (or a stop
// was requested): the run then fails on the first address, with the messages it shows for it.
// A single address is not asked at all, so a run without mirrors makes the requests it
// always made.
size_t FirstAnsweringServer(InternetSession& session, const std::vector<std::string>& addresses,
                            const StopEvent& stop);

}  // namespace korvun
