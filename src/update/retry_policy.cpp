#include "update/retry_policy.h"

#include "platform/inet.h"

namespace korvun {

bool IsTransientFailure(const InternetError& error) {
    if (error.closedWithoutAnswer) return true;
    switch (error.code) {
        case kInternetTimeout:
        case kInternetCannotConnect:
        case kInternetConnectionAborted:
        case kInternetConnectionReset:
            return true;
        default:
            return false;
    }
}

bool IsTransientStatus(long httpStatus) { return httpStatus >= 500 && httpStatus <= 599; }

std::string RetryingText(unsigned attempt, unsigned attempts) {
    return "Retrying the download (" + std::to_string(attempt) + "/" + std::to_string(attempts) +
           ")";
}

RetryPolicy::Pauses RetryPolicy::DefaultPauses() {
    using std::chrono::milliseconds;
    return {milliseconds(1000), milliseconds(2000), milliseconds(4000)};
}

bool RetryPolicy::CanRetry() const {
    if (!enabled_ || used_ >= pauses_.size()) return false;
    return !deadline_ || std::chrono::steady_clock::now() + pauses_[used_] < *deadline_;
}

bool RetryPolicy::Pause(const StopEvent& stop) {
    if (!CanRetry()) return false;
    auto pause = pauses_[used_++];
    return !stop.Wait(static_cast<unsigned>(pause.count()));
}

}  // namespace korvun
