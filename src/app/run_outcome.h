// How a run of the update worker ended, as the front-ends act on it.
#pragma once

#include <string>

#include "platform/status.h"

namespace korvun {

struct RunOutcome {
    enum class Kind {
        Completed,   // the client is current; updated says whether this run changed it
        Reinstall,   // the client is damaged and must be installed again (c21, c22)
        Failed,      // the run ended on a failure; failure holds the last message shown
        Stopped,     // the stop event ended the run at a stop point
        HandedOver,  // a new updater was downloaded and started in this one's place
    };

    Kind kind = Kind::Failed;
    bool updated = false;
    Status failure;  // Failed: the player's message (code and text), possibly empty
};

}  // namespace korvun
