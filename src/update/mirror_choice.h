// Which of a client's servers a run uses: the first that answers its version file. A mirror
// that is down (connection refused, time-out) or failing (a 5xx answer) would otherwise end
// every run that starts there, although another server has the same files. What the run
// learns of its servers also decides where it may turn later: not to one found unreachable
// (it would only cost the same wait again), and, once a certificate was refused, not to plain
// http (a man in the middle must not turn the run over to a connection nobody can check).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/inet.h"

namespace korvun {

class StopEvent;

// True when a request for the version file at address gets a 2xx answer. Anything else (no
// connection, no answer in time, an error status) says that this server cannot serve a run;
// *error, when given, holds a transport failure (code 0 for an error status).
bool ServerAnswers(InternetSession& session, const std::string& address,
                   InternetError* error = nullptr);

// True while the run may still turn to address: the session has not found it unreachable
// (or refused its certificate), and it speaks https unless no certificate has been refused.
bool MayServe(const InternetSession& session, const std::string& address);

// The first address after index `after` that MayServe(); nullopt when there is none.
std::optional<size_t> NextServer(const InternetSession& session,
                                 const std::vector<std::string>& addresses, size_t after);

struct ServerChoice {
    // The address the run uses; nullopt when none can serve it.
    std::optional<size_t> chosen;
    // Why none can: the first address's failure, or a refused certificate, which says more.
    InternetError failure;
};

// The first address that answers, asked in order. When none does, the first that may still
// serve the run: it then fails there with the messages it shows for it. When none may (each
// was unreachable, or is plain http after a refused certificate), nothing is chosen. A stop
// request chooses the first address. A single address is not asked at all, so a run without
// mirrors makes the requests it always made.
ServerChoice ChooseAnsweringServer(InternetSession& session,
                                   const std::vector<std::string>& addresses,
                                   const StopEvent& stop);
// The index ChooseAnsweringServer() chooses; 0 when none may serve the run.
size_t FirstAnsweringServer(InternetSession& session, const std::vector<std::string>& addresses,
                            const StopEvent& stop);

}  // namespace korvun
