// The application: the start-up checks, then the updater window, run modally; when the
// window ends, the program ends.
#pragma once

#include <memory>

#include <wx/app.h>

#include "platform/named_mutex.h"

namespace korvun {

class CUpdaterApp : public wxApp {
  public:
    bool OnInit() override;
    // The whole run happens in OnInit(); there is no main loop to enter afterwards.
    int OnRun() override { return exitCode_; }

  private:
    // Held for the life of the process, also when a later check refuses the start.
    std::unique_ptr<NamedMutex> singleInstance_;
    int exitCode_ = 0;
};

// Shows a message box captioned caption, without an owner. From the worker thread it hands
// the box to the window's thread and waits until the player has closed it.
void PresentMessageBox(const std::string& text, const std::string& caption);

}  // namespace korvun
