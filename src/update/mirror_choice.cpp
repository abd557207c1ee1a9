#include "update/mirror_choice.h"

#include "platform/stop_event.h"
#include "update/server_address.h"
#include "update/update_download.h"

namespace korvun {

bool ServerAnswers(InternetSession& session, const std::string& address, InternetError* error) {
    InternetError ignored;
    std::unique_ptr<InternetFile> file =
        session.OpenUrl(VersionFileUrl(address), error != nullptr ? error : &ignored);
    // Only the headers are wanted; closing the file drops the rest of the body.
    return file && file->StatusCode() >= 200 && file->StatusCode() < 300;
}

bool MayServe(const InternetSession& session, const std::string& address) {
    if (session.FoundUnreachable(VersionFileUrl(address))) return false;
    return !session.CertificateRefused() || AddressIsSecure(address);
}

std::optional<size_t> NextServer(const InternetSession& session,
                                 const std::vector<std::string>& addresses, size_t after) {
    for (size_t next = after + 1; next < addresses.size(); ++next) {
        if (MayServe(session, addresses[next])) return next;
    }
    return std::nullopt;
}

ServerChoice ChooseAnsweringServer(InternetSession& session,
                                   const std::vector<std::string>& addresses,
                                   const StopEvent& stop) {
    ServerChoice choice;
    if (addresses.size() < 2) {
        choice.chosen = 0;
        return choice;
    }
    bool failed = false;
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (stop.IsSet()) {
            choice.chosen = 0;
            return choice;
        }
        if (!MayServe(session, addresses[i])) continue;
        InternetError error;
        if (ServerAnswers(session, addresses[i], &error)) {
            choice.chosen = i;
            return choice;
        }
        if (error.code != 0 && (!failed || error.code == kInternetSecureFailure)) {
            choice.failure = error;
            failed = true;
        }
    }
    // An address that answered with an error status may still be the one to fail on; an
    // answer before a refused certificate does not make a plain address safe again.
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (MayServe(session, addresses[i])) {
            choice.chosen = i;
            return choice;
        }
    }
    return choice;
}

size_t FirstAnsweringServer(InternetSession& session, const std::vector<std::string>& addresses,
                            const StopEvent& stop) {
    return ChooseAnsweringServer(session, addresses, stop).chosen.value_or(0);
}

}  // namespace korvun
