#include "update/mirror_choice.h"

#include "platform/stop_event.h"
#include "update/server_address.h"
#include "update/update_download.h"

namespace korvun {

bool ServerAnswers(InternetSession& session, const std::string& address) {
    InternetError error;
    std::unique_ptr<InternetFile> file = session.OpenUrl(VersionFileUrl(address), &error);
    // Only the headers are wanted; closing the file drops the rest of the body.
    return file && file->StatusCode() >= 200 && file->StatusCode() < 300;
}

size_t FirstAnsweringServer(InternetSession& session, const std::vector<std::string>& addresses,
                            const StopEvent& stop) {
    if (addresses.size() < 2) return 0;
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (stop.IsSet()) return 0;
        if (ServerAnswers(session, addresses[i])) return i;
    }
    return 0;
}

}  // namespace korvun
