// korvun-tool release init / add / set-updater / withdraw-updater / keygen / sign / verify /
// check-mirror: lay out and maintain what the update server publishes, and check its copies.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "command_helpers.h"
#include "command_registry.h"
#include "json_writer.h"
#include "mirror_check.h"
#include "release.h"
#include "release_signing.h"

namespace korvun::tool {

namespace {

void Report(const ReleaseResult& result) {
    for (const std::string& note : result.notes) std::printf("%s\n", note.c_str());
    if (result.status != kReleaseDone) std::fprintf(stderr, "release: %s\n", result.error.c_str());
    SetExitStatus(result.status);
}

std::string IsoTime(int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The result of a check as one JSON object; fields name the command and its inputs.
void ReportJson(JsonObject fields, const ReleaseResult& result) {
    fields.AddNumber("exit", result.status)
        .AddBool("ok", result.status == kReleaseDone)
        .Add("matched", result.matched)
        .Add("problems", result.problems);
    if (result.signature) {
        fields.Add("signature",
                   JsonObject()
                       .Add("key_id", result.signature->keyId)
                       .AddNumber("serial", static_cast<int64_t>(result.signature->serial))
                       .Add("expires", IsoTime(result.signature->expires)));
    }
    // A check that could not run has no problems to list, only the reason.
    if (result.status != kReleaseDone && result.problems.empty()) fields.Add("error", result.error);
    PrintJson(fields);
    SetExitStatus(result.status);
}

struct ReleaseOptions {
    std::string root;
    std::vector<std::string> packages;
    std::string file;
    std::optional<uint32_t> base;
    std::optional<uint32_t> updaterVersion;
    bool test = false;
    bool allowUnsigned = false;
    bool json = false;
    std::optional<std::string> key;
    std::string publicKey;
    std::string mirror;
    unsigned expiresDays = kDefaultExpiryDays;
};

// --key and --expires for a command that changes what the server publishes.
void AddSigningOptions(CLI::App* command, ReleaseOptions& options) {
    command->add_option("--key", options.key,
                        "Sign the release again with this secret key (release.key)");
    command->add_option("--expires", options.expiresDays,
                        "Days until the new signature expires (default 30)");
}

void AddReleaseCommands(CLI::App& app) {
    static ReleaseOptions options;
    CLI::App* release = SubcommandGroup(
        app, "release",
        "Lay out and maintain an update server's files (exit 0 done, 1 refused, 2 unreadable)");

    CLI::App* init = release->add_subcommand(
        "init", "Create patch/UpdateVersion.ini, patch/patch/ and notice/index.html");
    DirectoryOption(
        init->add_option("SERVER_ROOT", options.root, "The directory the web server serves"))
        ->required();
    init->add_option("--client-version", options.base,
                     "Version of the client installer, the first PatchFileVersion (default 1)");
    init->callback([] { Report(InitRelease(options.root, options.base)); });

    CLI::App* add = release->add_subcommand(
        "add", "Publish the next packages (no gaps, no overwrites), then announce the newest");
    DirectoryOption(add->add_option("SERVER_ROOT", options.root, "Server root"))->required();
    add->add_option("PACKAGE", options.packages, "pkNNNN.patch files")->required();
    AddSigningOptions(add, options);
    add->add_flag("--unsigned", options.allowUnsigned,
                  "On a signed server: publish without signing and leave the signature stale")
        ->excludes("--key");
    add->callback([] {
        // A key that cannot sign is found before anything is published, not after.
        std::string keyError;
        if (options.key && !ReadSecretKey(*options.key, keyError)) {
            ReleaseResult refused;
            refused.status = kReleaseRefused;
            refused.error = keyError + "; nothing changed";
            return Report(refused);
        }
        ReleaseResult result =
            AddPackages(options.root, options.packages, !options.key && !options.allowUnsigned);
        SignAfterChange(options.root, options.key, options.expiresDays, result);
        Report(result);
    });

    CLI::App* updater = release->add_subcommand(
        "set-updater", "Publish Korvun/new_updater.exe and raise UpdaterVersion above 20");
    DirectoryOption(updater->add_option("SERVER_ROOT", options.root, "Server root"))->required();
    updater->add_option("FILE", options.file, "The new updater program")->required();
    updater->add_option("--updater-version", options.updaterVersion,
                        "UpdaterVersion to announce (default: one more, at least 21)");
    updater->add_flag("--test", options.test,
                      "Publish Korvun/test_updater.exe for testers; UpdateVersion.ini unchanged");
    AddSigningOptions(updater, options);
    updater->callback([] {
        ReleaseResult result =
            SetUpdater(options.root, options.file, options.updaterVersion, options.test);
        SignAfterChange(options.root, options.key, options.expiresDays, result);
        Report(result);
    });

    CLI::App* withdraw = release->add_subcommand(
        "withdraw-updater", "Set UpdaterVersion back to 20 so that clients patch again");
    DirectoryOption(withdraw->add_option("SERVER_ROOT", options.root, "Server root"))->required();
    AddSigningOptions(withdraw, options);
    withdraw->callback([] {
        ReleaseResult result = WithdrawUpdater(options.root);
        SignAfterChange(options.root, options.key, options.expiresDays, result);
        Report(result);
    });

    CLI::App* keygen = release->add_subcommand(
        "keygen", "Make a signing key pair: DIR/release.key (secret) and DIR/release.pub");
    DirectoryOption(
        keygen->add_option("DIR", options.root, "Where the key files go (never on the server)"))
        ->required();
    keygen->callback([] { Report(GenerateReleaseKey(options.root)); });

    CLI::App* sign = release->add_subcommand(
        "sign", "Write patch/release.manifest and its signature for what the server publishes");
    DirectoryOption(sign->add_option("SERVER_ROOT", options.root, "Server root"))->required();
    sign->add_option("--key", options.key, "The secret key (release.key)")->required();
    sign->add_option("--expires", options.expiresDays,
                     "Days until clients refuse this signature (default 30)");
    sign->callback([] { Report(SignRelease(options.root, *options.key, options.expiresDays)); });

    CLI::App* verify = release->add_subcommand(
        "verify", "Check the release signature and every signed file (exit 0 holds, 1 not)");
    DirectoryOption(verify->add_option("SERVER_ROOT", options.root, "Server root"))->required();
    verify->add_option("--pub", options.publicKey, "The public key (release.pub)")->required();
    verify->add_flag("--json", options.json, "Print the result as one JSON object");
    verify->callback([] {
        ReleaseResult result = VerifyRelease(options.root, options.publicKey);
        if (!options.json) return Report(result);
        ReportJson(JsonObject().Add("command", "release verify").Add("server_root", options.root),
                   result);
    });

    CLI::App* checkMirror = release->add_subcommand(
        "check-mirror",
        "Compare a published mirror with the server tree: version file, signed manifest, every "
        "package's size and SHA-256 (exit 0 in step, 1 differs, 2 unreadable tree)");
    DirectoryOption(
        checkMirror->add_option("SERVER_ROOT", options.root, "The server tree the mirror copies"))
        ->required();
    checkMirror
        ->add_option("URL", options.mirror,
                     "The mirror as clients name it (host:port/ or https://host/)")
        ->required();
    checkMirror->add_flag("--json", options.json, "Print the result as one JSON object");
    checkMirror->callback([] {
        ReleaseResult result = CheckMirror(options.root, options.mirror);
        if (!options.json) return Report(result);
        ReportJson(JsonObject()
                       .Add("command", "release check-mirror")
                       .Add("server_root", options.root)
                       .Add("mirror", options.mirror),
                   result);
    });
}

const RegisterCommandGroup registered(AddReleaseCommands);

}  // namespace

}  // namespace korvun::tool
