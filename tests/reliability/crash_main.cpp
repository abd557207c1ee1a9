// The crash suite: runs the console over a five-package release (made by `korvun-tool package
// build` from generated client trees) and kills it with SIGKILL, or cuts its power, at
// seeded moments in every phase of a run, then lets a clean run finish and judges the client.
//
// A kill lands just before a chosen file operation (open, write, fsync, rename) of the run,
// which reproduces every state of the disk that a kill at any moment can leave, since the
// updater changes nothing on disk between two of them. Which operation is chosen is drawn from
// a reference run, phase by phase in turn, so that each phase gets its share. Every seventh
// kill is instead a timed one, at a random moment of the run's length, and every third kill of
// the deletion phase uses the stop point between the last package and the deletion step. The kill
// is followed by `archive check` (the index must never be torn) and by a clean run, classified as:
//   completed  exit 0 and the client identical to the newest version (`client verify`, and
//              the test's own comparison)
//   reinstall  exit 2 with c21/c22: the rollback journal should have spared the player this
//   other      anything else
// Only completed counts as a pass. A completed run whose client differs, or an index that
// fails its check, is silent corruption.
//
// A power loss (the fault wrapper's power-loss mode) lands the same way, before a
// chosen operation or at the stop point; it also throws away every write that was not yet
// flushed and every rename or creation whose folder was not flushed. It has no timed form.
//
//   reliability-crash [--kills N] [--power-losses N] [--seed S] [--verbose]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"

namespace {

using namespace korvun::test;

const std::vector<std::string> kPhases = {"download", "extraction", "merge", "index save",
                                          "deletion list"};

struct Operation {
    uint64_t number = 0;
    std::string phase;
    std::string text;
};

std::string Basename(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Splits a fault log into its operations, each with the phase it belongs to: the last test
// point reached before it, refined by the file it touches.
std::vector<Operation> ReadOperations(const std::string& log) {
    std::vector<Operation> operations;
    std::istringstream lines(log);
    std::string line, point;
    while (std::getline(lines, line)) {
        if (line.rfind("point ", 0) == 0) {
            point = line.substr(6);
            continue;
        }
        std::istringstream fields(line);
        Operation operation;
        std::string kind, path;
        fields >> operation.number >> kind;
        std::getline(fields, path);
        operation.text = kind + path;
        std::string name = Basename(path);
        if (name.rfind("pk", 0) == 0 || name.rfind("UpdateVersion", 0) == 0) {
            operation.phase = "download";
        } else if (point == "before-delete-list") {
            operation.phase = "deletion list";
        } else if (point == "merge" || point == "merge-copy") {
            operation.phase = path.find("data.kah") != std::string::npos ? "index save" : "merge";
        } else if (point == "extract") {
            operation.phase = "extraction";
        } else {
            operation.phase = "download";
        }
        operations.push_back(operation);
    }
    return operations;
}

struct Tally {
    int kills = 0;
    int completed = 0;
    int reinstall = 0;
    int other = 0;
    int corrupt = 0;
    int torn = 0;
};

bool Contains(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

void PrintTallies(const std::string& mode, std::map<std::string, Tally>& tallies) {
    Tally total;
    std::printf("\n%s\n%-16s %6s %10s %10s %6s %8s %6s\n", mode.c_str(), "phase", "kills",
                "completed", "reinstall", "other", "corrupt", "torn");
    std::vector<std::string> order = kPhases;
    for (const auto& item : tallies) {
        if (std::find(order.begin(), order.end(), item.first) == order.end()) {
            order.push_back(item.first);
        }
    }
    for (const std::string& phase : order) {
        const Tally& t = tallies[phase];
        std::printf("%-16s %6d %10d %10d %6d %8d %6d\n", phase.c_str(), t.kills, t.completed,
                    t.reinstall, t.other, t.corrupt, t.torn);
        total.kills += t.kills;
        total.completed += t.completed;
        total.reinstall += t.reinstall;
        total.other += t.other;
        total.corrupt += t.corrupt;
        total.torn += t.torn;
    }
    std::printf("%-16s %6d %10d %10d %6d %8d %6d\n", "total", total.kills, total.completed,
                total.reinstall, total.other, total.corrupt, total.torn);
}

}  // namespace

int main(int argc, char** argv) {
    int kills = 40;
    int powerLosses = 0;
    uint32_t seed = 1;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--kills" && i + 1 < argc) {
            kills = std::atoi(argv[++i]);
        } else if (arg == "--power-losses" && i + 1 < argc) {
            powerLosses = std::atoi(argv[++i]);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: reliability-crash [--kills N] [--power-losses N] [--seed S] "
                         "[--verbose]\n");
            return 2;
        }
    }

    auto started = std::chrono::steady_clock::now();
    std::string scratch = MakeScratchDirectory("korvun-crash");
    ConsoleEnvironment environment(scratch);
    std::vector<ClientTree> versions = GenerateVersions(5, seed, 4);
    NginxServer server;
    std::string trees = scratch + "/trees";
    std::string newest = trees + "/v" + std::to_string(versions.size());
    PublishReleaseWithTool(versions, server.Root(), trees);
    std::string game = scratch + "/game";

    // The reference run: the operations and how long a whole run takes.
    InstallClient(versions.front(), 1, game, server.Address());
    std::string referenceLog = scratch + "/reference.log";
    RunResult reference = RunConsole(environment, game, {"KORVUN_FAULT_LOG=" + referenceLog});
    std::vector<std::string> differences = CompareClient(game, versions.back());
    std::string verifyOutput;
    if (!ClientVerifyPasses(game, newest, &verifyOutput)) differences.push_back(verifyOutput);
    if (reference.exitCode != 0 || !differences.empty()) {
        std::fprintf(stderr, "reference run failed (exit %d): %s\n", reference.exitCode,
                     reference.err.c_str());
        for (const auto& d : differences) std::fprintf(stderr, "  %s\n", d.c_str());
        return 1;
    }
    std::vector<Operation> operations = ReadOperations(ReadFileBytes(referenceLog));
    std::map<std::string, std::vector<uint64_t>> byPhase;
    for (const Operation& operation : operations) {
        byPhase[operation.phase].push_back(operation.number);
    }
    std::printf("release: 5 packages; reference run: %zu file operations in %.2f s\n",
                operations.size(), reference.seconds);
    for (const std::string& phase : kPhases) {
        std::printf("  %-14s %zu operations\n", phase.c_str(), byPhase[phase].size());
    }

    std::mt19937 random(seed);
    std::map<std::string, std::map<std::string, Tally>> talliesByMode;
    int failures = 0;
    for (int trial = 0; trial < kills + powerLosses; ++trial) {
        bool powerLoss = trial >= kills;
        int k = powerLoss ? trial - kills : trial;
        std::map<std::string, Tally>& tallies = talliesByMode[powerLoss ? "power loss" : "SIGKILL"];
        InstallClient(versions.front(), 1, game, server.Address());
        std::string log = scratch + "/kill.log";
        std::filesystem::remove(log);
        std::vector<std::string> faultEnvironment = {"KORVUN_FAULT_LOG=" + log};
        if (powerLoss) faultEnvironment.push_back("KORVUN_FAULT_MODE=powerloss");
        std::string how;
        bool timed = !powerLoss && k % 7 == 6;
        std::string planned = kPhases[static_cast<size_t>(k) % kPhases.size()];
        RunResult killed;
        if (timed) {
            std::string out = scratch + "/kill.out", err = scratch + "/kill.err";
            double delay = std::uniform_real_distribution<double>(0, reference.seconds)(random);
            pid_t pid = StartConsole(environment, game, faultEnvironment, out, err);
            std::this_thread::sleep_for(std::chrono::duration<double>(delay));
            kill(pid, SIGKILL);
            killed = WaitConsole(pid, out, err, 60);
            char text[64];
            std::snprintf(text, sizeof text, "timed %.3f s", delay);
            how = text;
        } else if (planned == "deletion list" && (k / 5) % 3 == 0) {
            // Exactly after the last package was recorded, before the deletion step.
            faultEnvironment.push_back("KORVUN_TEST_STOP_AT=before-delete-list");
            how = "stop point before-delete-list";
            killed = RunConsole(environment, game, faultEnvironment);
        } else {
            const std::vector<uint64_t>& candidates = byPhase[planned];
            uint64_t at = candidates[random() % candidates.size()];
            faultEnvironment.push_back("KORVUN_FAULT_AT=" + std::to_string(at));
            if (!powerLoss) faultEnvironment.push_back("KORVUN_FAULT_MODE=kill");
            how = "before operation " + std::to_string(at);
            killed = RunConsole(environment, game, faultEnvironment);
        }

        // Where the kill landed, from the killed run's own log.
        std::string logText = ReadFileBytes(log);
        std::vector<Operation> done = ReadOperations(logText);
        std::string phase;
        if (!timed && Contains(how, "stop point")) {
            phase = "deletion list";
        } else if (!done.empty()) {
            phase = done.back().phase;
        } else {
            phase = "download";
        }
        if (timed && killed.signal != SIGKILL) phase = "run ended first";
        Tally& tally = tallies[phase];
        ++tally.kills;

        std::string verdict;
        bool failed = false;
        if (killed.signal != SIGKILL && !timed) {
            verdict = "not killed (exit " + std::to_string(killed.exitCode) + ")";
            ++tally.other;
            failed = true;
        } else {
            std::string check;
            bool tornAfterKill = !ArchiveCheckPasses(game, &check);
            std::string marker = ReadMarker(game);
            RunResult clean = RunConsole(environment, game, {});
            bool tornAfterRun = !ArchiveCheckPasses(game, &check);
            if (tornAfterKill || tornAfterRun) {
                ++tally.torn;
                verdict = "index check failed: " + check;
                failed = true;
            } else if (clean.exitCode == 0) {
                // Two independent judges: the operator's `client verify` against the newest
                // tree, and the test's own comparison with the generated version.
                std::vector<std::string> diff = CompareClient(game, versions.back());
                std::string verify;
                if (!ClientVerifyPasses(game, newest, &verify)) diff.push_back(verify);
                if (diff.empty() && Contains(clean.out, "Completed")) {
                    ++tally.completed;
                    verdict = "completed, identical";
                } else {
                    ++tally.corrupt;
                    verdict = "SILENT CORRUPTION: " + (diff.empty() ? clean.out : diff.front());
                    failed = true;
                }
            } else if (clean.exitCode == 2 &&
                       (Contains(clean.err, "c21") || Contains(clean.err, "c22"))) {
                ++tally.reinstall;
                verdict = "reinstall (marker after kill: " + marker + ")";
                failed = true;
            } else {
                ++tally.other;
                verdict = "other: exit " + std::to_string(clean.exitCode) + " " + clean.err;
                failed = true;
            }
        }
        if (failed) ++failures;
        if (verbose || failed) {
            std::printf("%s %3d  %-14s %-32s -> %s\n", powerLoss ? "power loss" : "kill", k + 1,
                        phase.c_str(), how.c_str(), verdict.c_str());
        }
    }

    for (auto& [mode, tallies] : talliesByMode) PrintTallies(mode, tallies);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("seed %u, %.1f s\n", seed, seconds);
    return failures == 0 ? 0 : 1;
}
