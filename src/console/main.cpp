// korvun-updater-console: the updater's engine without a display. Exit status: 0 completed,
// 1 failed (a message was shown), 2 reinstall needed, 3 stopped.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "app/message_box.h"
#include "app/startup_checks.h"
#include "console/console_window.h"
#include "console/content_commands.h"
#include "console/run_hooks.h"
#include "platform/console.h"
#include "platform/directories.h"
#include "platform/file_io.h"
#include "update/build_info.h"
#include "update/release_verification.h"
#include "update/update_thread.h"
#include "update/version_file.h"

namespace {

enum ExitStatus { kCompleted = 0, kFailed = 1, kReinstall = 2, kStopped = 3 };

constexpr const char* kUsage =
    "Usage: korvun-updater-console [-C DIR] [--verify | --repair] [--help] [--version]\n"
    "\n"
    "Brings the game client in the current directory (or DIR) up to date from its update\n"
    "server, as the desktop updater does, without a window. On a terminal it draws one live\n"
    "line; otherwise it prints one line per status change. Messages go to standard error.\n"
    "SIGINT or SIGTERM stops the update safely at its next stop point.\n"
    "\n"
    "Exit status: 0 completed, 1 failed, 2 the client must be installed again, 3 stopped.\n"
    "--version prints the version, the built-in release key and the default server.\n"
    "\n"
    "--verify checks every file of the client against the signed content manifest of its\n"
    "version on the server's content store and lists what is missing, changed or extra;\n"
    "--repair also fetches and writes what is missing or changed (extra files stay), then\n"
    "checks again. Exit status: 0 intact, 1 differs, 4 no content store could be used.\n";

// Set once at the start: what this build of the program sets beside the player's choices
// (nothing in the program we ship; see run_hooks.h).
const korvun::RunHooks& Hooks() {
    static const korvun::RunHooks hooks = korvun::PrepareRunHooks();
    return hooks;
}

// The key releases are checked with.
std::string ReleaseKeyLine() {
    return Hooks().releaseKey.empty() ? korvun::CompiledReleaseKey() : Hooks().releaseKey;
}

korvun::UpdateSettings SettingsFor(korvun::ServerAddressChoice server) {
    korvun::UpdateSettings settings{std::move(server)};
    if (Hooks().timeoutMs) settings.timeoutMs = *Hooks().timeoutMs;
    settings.retryPauses = Hooks().retryPauses;
    settings.firstConnectTimeoutMs = Hooks().firstConnectTimeoutMs;
    if (Hooks().versionFileLimit) settings.versionFileLimit = *Hooks().versionFileLimit;
    if (Hooks().packagesPerScan) settings.packagesPerScan = *Hooks().packagesPerScan;
    return settings;
}

void ConfigureWorker(korvun::CUpdateThread& worker) {
    worker.SetReleaseKey(ReleaseKeyLine());
    if (!Hooks().certificateAuthorityFile.empty()) {
        worker.SetCertificateAuthorityFile(Hooks().certificateAuthorityFile);
    }
}

std::string ReleaseKeyDescription() {
    std::optional<korvun::MinisignPublicKey> key = korvun::BuiltInReleaseKey(ReleaseKeyLine());
    if (!key) return "Release key: none built in; releases are not checked.\n";
    return "Release key: " + korvun::KeyIdText(key->keyId) +
           " built in; only releases signed with it are accepted.\n";
}

struct Options {
    std::string directory;
    bool help = false;
    bool version = false;
    bool verify = false;
    bool repair = false;
    std::string error;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--verify") {
            options.verify = true;
        } else if (arg == "--repair") {
            options.repair = true;
        } else if (arg == "-C" && i + 1 < argc) {
            options.directory = argv[++i];
        } else if (arg.rfind("-C", 0) == 0 && arg.size() > 2) {
            options.directory = arg.substr(2);
        } else {
            options.error = "unknown argument: " + arg;
        }
    }
    return options;
}

int ExitStatusFor(const korvun::RunOutcome& outcome) {
    switch (outcome.kind) {
        case korvun::RunOutcome::Kind::Completed:
        case korvun::RunOutcome::Kind::HandedOver:
            return kCompleted;
        case korvun::RunOutcome::Kind::Reinstall:
            return kReinstall;
        case korvun::RunOutcome::Kind::Stopped:
            return kStopped;
        case korvun::RunOutcome::Kind::Failed:
            break;
    }
    return kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Hooks();
    Options options = ParseOptions(argc, argv);
    if (options.help) {
        std::fputs((korvun::ProductHeading() + kUsage).c_str(), stdout);
        std::fputs(("\n" + ReleaseKeyDescription()).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(korvun::BuildInfoText("korvun-updater-console", ReleaseKeyLine()).c_str(),
                   stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "korvun-updater-console: %s\n%s", options.error.c_str(), kUsage);
        return kFailed;
    }
    if (!options.directory.empty() && !korvun::ChangeDirectory(options.directory)) {
        std::fprintf(stderr, "korvun-updater-console: cannot change to %s: %s\n",
                     options.directory.c_str(), std::strerror(errno));
        return kFailed;
    }

    korvun::ConsoleStopRequests stopRequests;
    korvun::NamedMutex mutex(korvun::kSingleInstanceMutexName);
    if (korvun::RunStartupChecks(mutex, korvun::PrintMessageBox) !=
        korvun::StartupCheckResult::Passed) {
        return kFailed;
    }
    // After the startup checks: a repair writes the client, so no other run may.
    // A stop request is read once; it holds from then on, for the repair and the run after it.
    bool stopRequested = false;
    korvun::ContentCommand content{
        options.repair, ReleaseKeyLine(), Hooks().certificateAuthorityFile,
        [&stopRequests, &stopRequested] {
            if (!stopRequested) stopRequested = stopRequests.Available() && stopRequests.Wait(0);
            return stopRequested;
        }};
    korvun::ClientDirectory here(korvun::CurrentDirectory());
    if (options.verify || options.repair) {
        return korvun::RunContentCommand(here, content, stdout, stderr);
    }
    // A client the run would give up on (none in the folder, a damaged Version.ini, no
    // archive), in a build that can trust a content store: it is repaired from the store
    // first, or the newest stored release installed, and the run goes on as for an intact
    // client. Where no store is published the run is what it always was.
    if (korvun::BuiltInReleaseKey(ReleaseKeyLine()) && korvun::NeedsMending(here)) {
        content.repair = true;
        content.quietWithoutStore = true;
        korvun::RunContentCommand(here, content, stdout, stderr);
        if (stopRequested) {
            std::fputs("Stopped; the next run continues where this one left off.\n", stdout);
            return kStopped;
        }
    }

    korvun::ConsoleWindow window(stdout, korvun::IsTerminal(stdout));
    korvun::RunOutcome outcome;
    {
        // The game directory is where the player started the program, or the one -C names.
        korvun::ClientDirectory client(korvun::CurrentDirectory());
        korvun::ServerAddressChoice server = korvun::ChooseServerAddress(client);
        // For whoever reads the console or a log; the player's window shows nothing new.
        if (std::string note = korvun::IgnoredTestIpNote(server); !note.empty()) {
            std::fprintf(stderr, "Korvun Updater: %s\n", note.c_str());
        }
        korvun::CUpdateThread worker(window, client, SettingsFor(server));
        ConfigureWorker(worker);
        if (!worker.Start()) {
            window.ShowErrorText("start thread error");
        } else {
            while (worker.IsRunning()) {
                if (stopRequests.Available() && stopRequests.Wait(100)) {
                    worker.Stop().Set();
                } else if (!stopRequests.Available()) {
                    window.WaitForChange(100);
                }
                window.Tick();
            }
            outcome = worker.Outcome();
        }
    }
    window.Finish();
    if (outcome.kind == korvun::RunOutcome::Kind::Stopped) {
        // What the exit status alone does not say: nothing is lost by the stop.
        std::fputs("Stopped; the next run continues where this one left off.\n", stdout);
    }
    // The override of the server's version file acts for one run only.
    korvun::DeleteFile(korvun::kVersionOverrideFile);
    return ExitStatusFor(outcome);
}
