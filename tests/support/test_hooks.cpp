// The console's run hooks in the test consoles (tests/support/CMakeLists.txt): what a test
// asks of a run comes from the environment, and the file system is the fault wrapper, which
// only counts until the environment asks for more. The programs we ship link
// src/console/shipped_run_hooks.cpp instead and read none of this.
//
//   KORVUN_FAULT_AT=N                 the Nth counted file operation, 0 or unset for none
//   KORVUN_FAULT_MODE=once|from|kill|powerloss   what happens there (fault_file_system.h)
//   KORVUN_FAULT_ERRNO=EIO|ENOSPC     the error a failed operation reports
//   KORVUN_FAULT_LOG=FILE             the log of operations and points
//   KORVUN_TEST_STOP_AT=NAME[:K]      SIGKILL (or the power cut) at the Kth time at point NAME
//   KORVUN_TEST_PAUSE_AT=NAME         SIGSTOP at point NAME
//   KORVUN_TEST_STOP_REQUEST_AT=NAME  a stop request exactly at point NAME
//   KORVUN_TEST_TIMEOUT_MS=MS         connect and receive time-out
//   KORVUN_TEST_RETRY_PAUSE_MS=MS     every pause between retries
//   KORVUN_TEST_CA_FILE=FILE          a certificate authority for the test's https server
//   KORVUN_TEST_FIRST_CONNECT_MS=MS   connect time-out to a server not reached yet in the run
//   KORVUN_TEST_VERSION_FILE_LIMIT_MS=MS  bound of the version file's phase
//   KORVUN_TEST_PACKAGES_PER_SCAN=N   packages one size scan covers
// The signed test console is built with the tests' release key (tests/trust_keys).
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "console/run_hooks.h"
#include "support/fault_file_system.h"

namespace korvun {

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

test::FaultPlan FaultPlanFromEnvironment() {
    test::FaultPlan plan;
    plan.at = std::strtoull(Variable("KORVUN_FAULT_AT").c_str(), nullptr, 10);
    std::string mode = Variable("KORVUN_FAULT_MODE");
    if (mode == "from") plan.mode = test::FaultPlan::Mode::From;
    if (mode == "kill") plan.mode = test::FaultPlan::Mode::Kill;
    if (mode == "powerloss") plan.mode = test::FaultPlan::Mode::PowerLoss;
    plan.error = Variable("KORVUN_FAULT_ERRNO") == "ENOSPC" ? ENOSPC : EIO;
    plan.logFile = Variable("KORVUN_FAULT_LOG");
    plan.pauseAt = Variable("KORVUN_TEST_PAUSE_AT");
    plan.stopRequestAt = Variable("KORVUN_TEST_STOP_REQUEST_AT");
    plan.stopAt = Variable("KORVUN_TEST_STOP_AT");
    if (auto colon = plan.stopAt.find(':'); colon != std::string::npos) {
        plan.stopOccurrence = std::strtoull(plan.stopAt.c_str() + colon + 1, nullptr, 10);
        plan.stopAt.resize(colon);
    }
    return plan;
}

test::FaultFileSystem* installed = nullptr;

}  // namespace

RunHooks PrepareRunHooks() {
    // Never destroyed: a file operation may still come from another static's destructor.
    installed = new test::FaultFileSystem(SystemFileSystem(), FaultPlanFromEnvironment());
    InstallFileSystem(installed);
    std::atexit([] { installed->ForgetKeptNames(); });

    RunHooks hooks;
#ifdef KORVUN_TEST_RELEASE_KEY
    hooks.releaseKey = KORVUN_TEST_RELEASE_KEY;
#endif
    hooks.certificateAuthorityFile = Variable("KORVUN_TEST_CA_FILE");
    if (std::string timeout = Variable("KORVUN_TEST_TIMEOUT_MS"); !timeout.empty()) {
        hooks.timeoutMs = static_cast<unsigned>(std::strtoul(timeout.c_str(), nullptr, 10));
    }
    if (std::string pause = Variable("KORVUN_TEST_RETRY_PAUSE_MS"); !pause.empty()) {
        std::chrono::milliseconds each(std::strtoul(pause.c_str(), nullptr, 10));
        hooks.retryPauses = RetryPolicy::Pauses{each, each, each};
    }
    if (std::string connect = Variable("KORVUN_TEST_FIRST_CONNECT_MS"); !connect.empty()) {
        hooks.firstConnectTimeoutMs =
            static_cast<unsigned>(std::strtoul(connect.c_str(), nullptr, 10));
    }
    if (std::string limit = Variable("KORVUN_TEST_VERSION_FILE_LIMIT_MS"); !limit.empty()) {
        hooks.versionFileLimit =
            std::chrono::milliseconds(std::strtoul(limit.c_str(), nullptr, 10));
    }
    if (std::string window = Variable("KORVUN_TEST_PACKAGES_PER_SCAN"); !window.empty()) {
        hooks.packagesPerScan = static_cast<uint32_t>(std::strtoul(window.c_str(), nullptr, 10));
    }
    return hooks;
}

}  // namespace korvun
