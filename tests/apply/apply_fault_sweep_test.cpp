// --apply against a host that fails: each host call of a run is made to
// fail in turn, and separately the process is ended right before it (in a
// child process, at step k). After each, every file of the machine folder
// must be as it was before or as a complete run leaves it, the registry
// may only have changed once every drive file is in place, the report
// (when the process lived) must say what is on disk, and the next run must
// finish and leave no temporary file.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "platform/sim/machine.h"
#include "sim/apply_changes.h"
#include "sim/host_files.h"
#include "sim/installer_run.h"
#include "sim/key_deletions.h"
#include "sim/machine_loader.h"

namespace {

namespace fs = std::filesystem;
using kestrow_sim::HostCall;

constexpr int kCrashExit = 86;

// Counts host calls; fails or ends the process at call number `at`.
class StepHook : public kestrow_sim::HostCallHook {
public:
    enum class Action { kCount, kFail, kCrash };
    StepHook(Action action, int at) : action_(action), at_(at) {}

    int Before(HostCall call, const std::string& path) override {
        ++count_;
        calls_.push_back(std::string(kestrow_sim::HostCallName(call)) + " " + path);
        if (count_ != at_) return 0;
        if (action_ == Action::kCrash) ::_exit(kCrashExit);
        if (action_ == Action::kFail) return EIO;
        return 0;
    }
    int Count() const { return count_; }
    const std::vector<std::string>& Calls() const { return calls_; }

private:
    Action action_;
    int at_;
    int count_ = 0;
    std::vector<std::string> calls_;
};

struct HostEntry {
    std::string bytes;  // a file's bytes; empty for a folder
    fs::perms mode;
    bool folder;
    bool operator==(const HostEntry& other) const {
        return bytes == other.bytes && mode == other.mode && folder == other.folder;
    }
};
using Tree = std::map<std::string, HostEntry>;  // by path relative to the machine folder

Tree ReadTree(const fs::path& root) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        HostEntry host{"", entry.symlink_status().permissions(), entry.is_directory()};
        if (!host.folder) {
            std::ifstream file(entry.path(), std::ios::binary);
            host.bytes.assign(std::istreambuf_iterator<char>(file), {});
        }
        tree[fs::relative(entry.path(), root).string()] = host;
    }
    return tree;
}

bool IsTemporary(const std::string& path) {
    return fs::path(path).filename().string().rfind(".kestrow-tmp", 0) == 0;
}

bool HasTemporary(const Tree& tree) {
    for (const auto& [path, entry] : tree) {
        if (IsTemporary(path)) return true;
    }
    return false;
}

// A loaded machine that has run the installer, ready to apply.
struct Run {
    kestrow_sim::MachineDescription description;
    platform::sim::Machine machine;
    std::unique_ptr<platform::sim::RegistryTree> before;
    kestrow_sim::FileFingerprint registryRead;
};

std::unique_ptr<Run> Prepare(const fs::path& folder) {
    auto run = std::make_unique<Run>();
    std::string error;
    EXPECT_TRUE(kestrow_sim::DescribeMachineFolder(folder.string(), &run->description, &error));
    EXPECT_TRUE(
        kestrow_sim::TakeFingerprint(run->description.registryFile, &run->registryRead, &error))
        << error;
    EXPECT_TRUE(kestrow_sim::LoadMachine(run->description, &run->machine, &error)) << error;
    run->machine.scriptedAnswers = {1};
    run->before = kestrow_sim::SnapshotRegistry(run->machine.Registry());
    kestrow_sim::RunInstaller(run->machine);
    return run;
}

kestrow_sim::ApplyReport Apply(Run& run, kestrow_sim::HostCallHook* hook) {
    kestrow_sim::SetHostCallHook(hook);
    auto report =
        kestrow_sim::ApplyChanges(run.machine, *run.before, run.description, &run.registryRead);
    kestrow_sim::SetHostCallHook(nullptr);
    return report;
}

class ApplyFaultSweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrow-sweep-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        source_ = root_ / "source";
        fs::copy(fs::path(KESTROW_SOURCE_DIR) / "sim/machines/win98se", source_,
                 fs::copy_options::recursive);
        // An older driver file to be replaced (and saved), and modes of
        // its own, which the new files must keep.
        std::ofstream(source_ / "drive_c/WINDOWS/inf/iusb2.inf") << "an older iusb2.inf\r\n";
        fs::permissions(source_ / "drive_c/WINDOWS/inf/iusb2.inf", fs::perms(0640));
        fs::permissions(source_ / "registry.reg", fs::perms(0604));
        // And a temporary file an earlier run left, for the removal of
        // leftovers to be swept too.
        std::ofstream(source_ / "drive_c/WINDOWS/inf/.kestrow-tmp.iusb2.inf") << "half";
        machine_ = root_ / "m";
    }
    void TearDown() override { fs::remove_all(root_); }

    void FreshMachine() {
        fs::remove_all(machine_);
        fs::copy(source_, machine_, fs::copy_options::recursive);
    }

    // Every entry is as before or as after (a temporary file only where
    // allowed); the registry changed only with every drive file in place.
    void CheckBeforeOrAfter(const Tree& now, bool temporariesAllowed) {
        for (const auto& [path, entry] : now) {
            if (IsTemporary(path)) {
                // A run that lived removes its own; the leftover it found
                // may still be there when removing it failed.
                bool leftover = before_.count(path) && before_.at(path) == entry;
                EXPECT_TRUE(temporariesAllowed || leftover) << path;
                continue;
            }
            auto old = before_.find(path);
            auto done = after_.find(path);
            bool asBefore = old != before_.end() && old->second == entry;
            bool asAfter = done != after_.end() && done->second == entry;
            EXPECT_TRUE(asBefore || asAfter) << path;
        }
        for (const auto& [path, entry] : before_) {
            EXPECT_TRUE(IsTemporary(path) || now.count(path)) << path;
        }
        if (now.at("registry.reg") == after_.at("registry.reg")) {
            for (const auto& [path, entry] : after_) {
                if (path.rfind("drive_c/", 0) == 0 || path == "registry.undo.reg") {
                    EXPECT_TRUE(now.count(path) && now.at(path) == entry) << path;
                }
            }
        }
    }

    // What the report says was written is new on disk; what it says was
    // not is as it was.
    void CheckReport(const kestrow_sim::ApplyReport& report, const Tree& now) {
        auto relative = [&](const std::string& name) -> std::string {
            std::string folder = machine_.string() + "/";
            std::size_t at = name.find(folder);
            if (at == std::string::npos) return "";
            std::size_t end = name.find_first_of(") ", at);
            return name.substr(at + folder.size(), end == std::string::npos
                                                       ? std::string::npos
                                                       : end - at - folder.size());
        };
        for (const std::string& name : report.written) {
            std::string path = relative(name);
            if (path.empty()) continue;
            EXPECT_TRUE(now.count(path) && now.at(path) == after_.at(path)) << name;
        }
        for (const std::string& name : report.notWritten) {
            std::string path = relative(name);
            if (path.empty()) continue;
            bool asBefore = before_.count(path)
                                ? now.count(path) && now.at(path) == before_.at(path)
                                : !now.count(path);
            EXPECT_TRUE(asBefore) << name;
        }
        EXPECT_FALSE(report.machineState.empty());
    }

    // A run with no fault after the one that failed: it finishes and
    // leaves no temporary file.
    void CheckNextRun(bool temporariesLeft) {
        auto next = Prepare(machine_);
        auto report = Apply(*next, nullptr);
        EXPECT_TRUE(report.ok) << report.error;
        EXPECT_EQ(!report.removedLeftovers.empty(), temporariesLeft);
        for (const auto& [path, entry] : ReadTree(machine_))
            EXPECT_FALSE(IsTemporary(path)) << path;
    }

    fs::path root_, source_, machine_;
    Tree before_, after_;
};

TEST_F(ApplyFaultSweepTest, EachHostCallFailsOrEndsTheProcess) {
    FreshMachine();
    before_ = ReadTree(machine_);
    StepHook counter(StepHook::Action::kCount, 0);
    {
        auto run = Prepare(machine_);
        auto report = Apply(*run, &counter);
        ASSERT_TRUE(report.ok) << report.error;
    }
    after_ = ReadTree(machine_);
    ASSERT_TRUE(after_.count("registry.undo.files/C/WINDOWS/inf/iusb2.inf"));
    EXPECT_EQ(after_.at("drive_c/WINDOWS/inf/iusb2.inf").mode, fs::perms(0640));
    EXPECT_EQ(after_.at("registry.reg").mode, fs::perms(0604));
    EXPECT_EQ(after_.at("registry.undo.reg").mode, fs::perms(0604));
    const int steps = counter.Count();
    std::string kinds;
    for (const std::string& call : counter.Calls()) kinds += call.substr(0, call.find(' ')) + ",";
    for (const char* kind :
         {"open", "read", "write", "fsync", "close", "rename", "unlink", "chmod", "mkdir"}) {
        EXPECT_NE(kinds.find(std::string(kind) + ","), std::string::npos) << kind;
    }
    if (::geteuid() == 0) {
        EXPECT_NE(kinds.find("chown,"), std::string::npos);  // only root gives files away
    }

    for (int step = 1; step <= steps; ++step) {
        SCOPED_TRACE("step " + std::to_string(step) + ": " + counter.Calls()[step - 1]);
        {
            SCOPED_TRACE("fails");
            FreshMachine();
            auto run = Prepare(machine_);
            StepHook failing(StepHook::Action::kFail, step);
            auto report = Apply(*run, &failing);
            EXPECT_FALSE(report.ok);
            Tree now = ReadTree(machine_);
            CheckBeforeOrAfter(now, false);
            CheckReport(report, now);
            CheckNextRun(HasTemporary(now));
        }
        {
            SCOPED_TRACE("ends the process");
            FreshMachine();
            auto run = Prepare(machine_);
            pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                StepHook crashing(StepHook::Action::kCrash, step);
                Apply(*run, &crashing);
                ::_exit(0);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), kCrashExit);
            Tree now = ReadTree(machine_);
            CheckBeforeOrAfter(now, true);
            CheckNextRun(HasTemporary(now));
        }
    }
}

// Fails the first call of one kind on one path.
class FailOnPath : public kestrow_sim::HostCallHook {
public:
    FailOnPath(HostCall call, std::string path) : call_(call), path_(std::move(path)) {}
    int Before(HostCall call, const std::string& path) override {
        return call == call_ && path.find(path_) != std::string::npos ? ENOSPC : 0;
    }

private:
    HostCall call_;
    std::string path_;
};

// One drive file cannot be written (a full partition): the one before it
// is in place and reported so, the others and the registry are not.
TEST_F(ApplyFaultSweepTest, OneDriveFileFailsTheOthersAreReportedAsTheyAre) {
    FreshMachine();
    std::string registry;
    {
        std::ifstream file(machine_ / "registry.reg", std::ios::binary);
        registry.assign(std::istreambuf_iterator<char>(file), {});
    }
    auto run = Prepare(machine_);
    FailOnPath full(HostCall::Write, "iusbehci.sys");
    auto report = Apply(*run, &full);
    EXPECT_FALSE(report.ok);
    EXPECT_NE(report.error.find("No space left on device"), std::string::npos) << report.error;
    ASSERT_EQ(report.written.size(), 2u);  // the backup of iusb2.inf, then iusb2.inf
    EXPECT_EQ(report.written[0].rfind("backup of C:\\WINDOWS\\inf\\iusb2.inf", 0), 0u);
    EXPECT_EQ(report.written[1].rfind("C:\\WINDOWS\\inf\\iusb2.inf (", 0), 0u);
    ASSERT_EQ(report.notWritten.size(), 4u);
    EXPECT_EQ(report.notWritten[0].rfind("C:\\WINDOWS\\system32\\drivers\\iusbehci.sys", 0), 0u);
    EXPECT_EQ(report.notWritten[3].rfind("registry file ", 0), 0u);
    EXPECT_NE(report.machineState.find("listed as written"), std::string::npos);
    EXPECT_NE(report.machineState.find("the deleted key is still in it"), std::string::npos);
    Tree now = ReadTree(machine_);
    EXPECT_EQ(now.at("registry.reg").bytes, registry);
    EXPECT_FALSE(now.count("drive_c/WINDOWS/system32/drivers/iusbehci.sys"));
    EXPECT_FALSE(now.count("registry.undo.reg"));
    EXPECT_FALSE(HasTemporary(now));
}

// Another program changes the registry file after it was read (while the
// tool waits at a prompt, say): nothing is written, and the report says so.
TEST_F(ApplyFaultSweepTest, RegistryChangedAfterReadingIsNeverOverwritten) {
    struct Change {
        const char* what;
        void (*make)(const fs::path& registry);
    };
    const Change changes[] = {
        {"a value added",
         [](const fs::path& registry) {
             std::ofstream(registry, std::ios::app) << "\r\n[HKEY_LOCAL_MACHINE\\Added]\r\n";
         }},
        {"replaced by another file",
         [](const fs::path& registry) {
             fs::copy_file(registry, registry.string() + ".new");
             fs::rename(registry.string() + ".new", registry);
         }},
        {"the same size and time, other bytes",
         [](const fs::path& registry) {
             auto time = fs::last_write_time(registry);
             std::fstream file(registry, std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(-3, std::ios::end);
             file << "x";
             file.close();
             fs::last_write_time(registry, time);
         }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        FreshMachine();
        auto run = Prepare(machine_);
        change.make(machine_ / "registry.reg");
        Tree changed = ReadTree(machine_);
        auto report = Apply(*run, nullptr);
        EXPECT_FALSE(report.ok);
        EXPECT_NE(report.error.find("changed after it was read"), std::string::npos)
            << report.error;
        // Found before any drive file was written: nothing changed (but
        // the earlier run's leftover, removed first).
        auto withoutTemporaries = [](Tree tree) {
            for (auto entry = tree.begin(); entry != tree.end();) {
                entry = IsTemporary(entry->first) ? tree.erase(entry) : std::next(entry);
            }
            return tree;
        };
        EXPECT_TRUE(withoutTemporaries(ReadTree(machine_)) == withoutTemporaries(changed));
        EXPECT_TRUE(report.written.empty());
    }
}

}  // namespace
