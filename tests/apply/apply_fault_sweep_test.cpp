// --apply against a host that fails: each host call of a run is made to
// fail in turn, and separately the process is ended right before it (in a
// child process, at step k). After a failure the whole machine folder must
// be as it was before or as a complete run leaves it (the failed run puts
// back what it wrote), and the report must say what is on disk. After a
// kill, every file must be as it was or as it is to be, and the registry
// may only have changed once every drive file is in place. Either way the
// next run must finish and leave no temporary file. Every row of the host
// call table is met by a sweep: the calls of a whole run, and the calls of
// a rollback.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "platform/sim/machine.h"
#include "sim/apply/apply_changes.h"
#include "sim/host/host_files.h"
#include "sim/machine/installer_run.h"
#include "sim/machine/key_deletions.h"
#include "sim/machine/machine_loader.h"

namespace {

namespace fs = std::filesystem;
using kestrow_sim::HostCall;

constexpr int kCrashExit = 86;

// Counts host calls; fails or ends the process at call number `at`. With a
// first fault, that call fails (ENOSPC) and the count starts after it.
class StepHook : public kestrow_sim::HostCallHook {
public:
    enum class Action { kCount, kFail, kCrash };
    struct FirstFault {
        HostCall call;
        const char* pathEnd;
    };
    StepHook(Action action, int at, std::optional<FirstFault> first = std::nullopt)
        : action_(action), at_(at), first_(first) {}

    int Before(HostCall call, const std::string& path) override {
        if (first_) {
            const std::string end = first_->pathEnd;
            bool matches = call == first_->call && path.size() >= end.size() &&
                           path.compare(path.size() - end.size(), end.size(), end) == 0;
            if (matches) first_.reset();
            return matches ? ENOSPC : 0;
        }
        ++count_;
        calls_.push_back(std::string(kestrow_sim::HostCallName(call)) + " " + path);
        seen_.insert(call);
        if (count_ != at_) return 0;
        if (action_ == Action::kCrash) ::_exit(kCrashExit);
        if (action_ == Action::kFail) return EIO;
        return 0;
    }
    int Count() const { return count_; }
    const std::vector<std::string>& Calls() const { return calls_; }
    bool Saw(HostCall call) const { return seen_.count(call) != 0; }

private:
    Action action_;
    int at_;
    std::optional<FirstFault> first_;
    int count_ = 0;
    std::vector<std::string> calls_;
    std::set<HostCall> seen_;
};

// The rows only a rollback calls: putting back a replaced link (symlink and,
// as root, lchown) and removing a folder the run made (rmdir). Every other
// row is met by a whole run.
bool OnlyInRollBack(HostCall call) {
    return call == HostCall::Symlink || call == HostCall::Lchown || call == HostCall::Rmdir;
}

// Rows only root calls: giving a file or link its owner.
bool OnlyAsRoot(HostCall call) { return call == HostCall::Chown || call == HostCall::Lchown; }

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

Tree WithoutTemporaries(Tree tree) {
    for (auto entry = tree.begin(); entry != tree.end();) {
        entry = IsTemporary(entry->first) ? tree.erase(entry) : std::next(entry);
    }
    return tree;
}

// The paths where two trees differ, for a failure message.
std::string Differences(const Tree& a, const Tree& b) {
    std::string paths;
    for (const auto& [path, entry] : a) {
        if (!b.count(path) || !(b.at(path) == entry)) paths += " " + path;
    }
    for (const auto& [path, entry] : b) {
        if (!a.count(path)) paths += " " + path;
    }
    return paths;
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
        // In memory where the host offers it: a sweep flushes files and
        // folders some thousand times, which on a disk takes nearly all of
        // its time and proves nothing more.
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/kestrow-sweep-XXXXXX";
            if (::mkdtemp(pattern.data()) != nullptr) {
                root_ = pattern;
                break;
            }
        }
        ASSERT_FALSE(root_.empty());
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
        fs::copy(source_, machine_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
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

    // The whole tree, modes included, is as before or as after; the only
    // temporary file is the earlier run's leftover, when removing it failed.
    void CheckWholeTree(const Tree& now) {
        Tree clean = WithoutTemporaries(now);
        Tree before = WithoutTemporaries(before_), after = WithoutTemporaries(after_);
        EXPECT_TRUE(clean == before || clean == after)
            << "differs from before in" << Differences(clean, before) << "; from after in"
            << Differences(clean, after);
        for (const auto& [path, entry] : now) {
            if (IsTemporary(path)) {
                EXPECT_TRUE(before_.count(path) && before_.at(path) == entry) << path;
            }
        }
    }

    // What the report says was written is new on disk; what it says was
    // not, or rolled back, is as it was.
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
        std::vector<std::string> asBefore = report.notWritten;
        asBefore.insert(asBefore.end(), report.rolledBack.begin(), report.rolledBack.end());
        for (const std::string& name : asBefore) {
            std::string path = relative(name);
            if (path.empty()) continue;
            bool kept = before_.count(path) ? now.count(path) && now.at(path) == before_.at(path)
                                            : !now.count(path);
            EXPECT_TRUE(kept) << name;
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
    // A driver file that is a link inside the drive: saving it reads the
    // link as well as the file it names.
    std::ofstream(source_ / "drive_c/old-hub.sys") << "an older iusb2hub.sys";
    fs::create_symlink("../../../old-hub.sys",
                       source_ / "drive_c/WINDOWS/system32/drivers/iusb2hub.sys");
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
    for (HostCall call : kestrow_sim::AllHostCalls()) {
        if (OnlyInRollBack(call) || (OnlyAsRoot(call) && ::geteuid() != 0)) continue;
        EXPECT_TRUE(counter.Saw(call)) << kestrow_sim::HostCallName(call);
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
            CheckWholeTree(now);
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

// A late step fails (the registry file's rename), and then each call of the
// rollback fails in turn, or the process ends right before it. Whatever is
// left, every file is as it was or as it is to be, the registry file as it
// was, the report tells what is where, and the next run finishes.
TEST_F(ApplyFaultSweepTest, EachCallOfARollBackFailsOrEndsTheProcess) {
    // A replaced link to put back, and a folder the run makes to remove
    // (removed after loading, so that the program still sees it).
    fs::rename(source_ / "drive_c/WINDOWS/inf/iusb2.inf", source_ / "drive_c/old.inf");
    fs::create_symlink("../../old.inf", source_ / "drive_c/WINDOWS/inf/iusb2.inf");
    auto prepare = [&] {
        FreshMachine();
        auto run = Prepare(machine_);
        fs::remove_all(machine_ / "drive_c/WINDOWS/system32/drivers");
        return run;
    };
    const StepHook::FirstFault registryRename{HostCall::Rename, "m/registry.reg"};
    {
        auto run = prepare();
        before_ = ReadTree(machine_);
        ASSERT_TRUE(Apply(*run, nullptr).ok);
        after_ = ReadTree(machine_);
    }
    StepHook counter(StepHook::Action::kCount, 0, registryRename);
    {
        auto run = prepare();
        auto report = Apply(*run, &counter);
        ASSERT_FALSE(report.ok);
        ASSERT_EQ(report.rolledBack.size(), 4u) << report.error;
    }
    for (HostCall call : kestrow_sim::AllHostCalls()) {
        if (!OnlyInRollBack(call) || (OnlyAsRoot(call) && ::geteuid() != 0)) continue;
        EXPECT_TRUE(counter.Saw(call)) << kestrow_sim::HostCallName(call);
    }

    for (int step = 1; step <= counter.Count(); ++step) {
        SCOPED_TRACE("rollback step " + std::to_string(step) + ": " + counter.Calls()[step - 1]);
        {
            SCOPED_TRACE("fails");
            auto run = prepare();
            StepHook failing(StepHook::Action::kFail, step, registryRename);
            auto report = Apply(*run, &failing);
            EXPECT_FALSE(report.ok);
            Tree now = ReadTree(machine_);
            CheckBeforeOrAfter(now, true);
            EXPECT_TRUE(now.at("registry.reg") == before_.at("registry.reg"));
            CheckReport(report, now);
            CheckNextRun(HasTemporary(now));
        }
        {
            SCOPED_TRACE("ends the process");
            auto run = prepare();
            pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                StepHook crashing(StepHook::Action::kCrash, step, registryRename);
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

// Fails chosen calls: the nth call of a kind whose path contains a text.
class FailCalls : public kestrow_sim::HostCallHook {
public:
    struct Fault {
        HostCall call;
        const char* path;
        int nth;
    };
    explicit FailCalls(std::vector<Fault> faults)
        : faults_(std::move(faults)), seen_(faults_.size()) {}
    int Before(HostCall call, const std::string& path) override {
        for (std::size_t i = 0; i < faults_.size(); ++i) {
            if (call == faults_[i].call && path.find(faults_[i].path) != std::string::npos &&
                ++seen_[i] == faults_[i].nth) {
                return ENOSPC;
            }
        }
        return 0;
    }

private:
    std::vector<Fault> faults_;
    std::vector<int> seen_;
};

// A step fails after the checks passed (a full partition, say): what was
// put in place is put back, and the report says so. Only when putting back
// fails too does the machine hold a mix, which the report then names.
TEST_F(ApplyFaultSweepTest, AFailedStepRollsBackWhatWasWritten) {
    FreshMachine();
    before_ = ReadTree(machine_);
    {
        auto run = Prepare(machine_);
        ASSERT_TRUE(Apply(*run, nullptr).ok);
    }
    after_ = ReadTree(machine_);
    const char* kInf = "drive_c/WINDOWS/inf/iusb2.inf";
    struct Case {
        const char* what;
        std::vector<FailCalls::Fault> faults;
        std::size_t written, rolledBack;
        const char* state;
        bool asBefore;  // else: iusb2.inf new, its backup kept, the rest as before
    };
    const Case cases[] = {
        {"one drive file cannot be written",
         {{HostCall::Write, "iusbehci.sys", 1}},
         0,
         0,
         "everything as it was (nothing was written)",
         true},
        {"the second drive file cannot be renamed",
         {{HostCall::Rename, "iusbehci.sys", 1}},
         0,
         1,
         "everything as it was (what was written has been rolled back)",
         true},
        {"the registry file cannot be renamed",
         {{HostCall::Rename, "m/registry.reg", 1}},
         0,
         4,  // three drive files and the undo file
         "everything as it was (what was written has been rolled back)",
         true},
        {"the replaced file cannot be put back",
         {{HostCall::Rename, "iusbehci.sys", 1}, {HostCall::Rename, kInf, 2}},
         2,  // the backup of iusb2.inf, then iusb2.inf
         0,
         "the new version of each drive file listed as written",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        auto run = Prepare(machine_);
        FailCalls failing(c.faults);
        auto report = Apply(*run, &failing);
        EXPECT_FALSE(report.ok);
        EXPECT_NE(report.error.find("No space left on device"), std::string::npos) << report.error;
        EXPECT_EQ(report.written.size(), c.written);
        EXPECT_EQ(report.rolledBack.size(), c.rolledBack);
        EXPECT_EQ(report.notWritten.size(), 5u - c.rolledBack - (c.written ? 1 : 0));
        EXPECT_EQ(report.notWritten.back().rfind("registry file ", 0), 0u);
        EXPECT_NE(report.machineState.find(c.state), std::string::npos) << report.machineState;
        Tree now = ReadTree(machine_);
        EXPECT_FALSE(HasTemporary(now));
        if (c.asBefore) {
            EXPECT_TRUE(now == WithoutTemporaries(before_)) << Differences(now, before_);
        } else {
            EXPECT_NE(report.error.find("failed too"), std::string::npos) << report.error;
            EXPECT_NE(report.machineState.find("copies of the replaced files in"),
                      std::string::npos);
            EXPECT_TRUE(now.at(kInf) == after_.at(kInf));
            EXPECT_TRUE(now.count("registry.undo.files/C/WINDOWS/inf/iusb2.inf"));
            EXPECT_TRUE(now.at("registry.reg") == before_.at("registry.reg"));
        }
        CheckReport(report, now);
        CheckNextRun(false);
    }
}

// What a rollback puts back beyond bytes and modes: a replaced symbolic
// link is a link again, naming what it named, and a folder the run had to
// make (one removed after the machine was loaded) is gone again.
TEST_F(ApplyFaultSweepTest, RollBackPutsBackLinksAndRemovesFoldersItMade) {
    struct Case {
        const char* what;
        void (*beforeLoading)(const fs::path& machine);
        void (*afterLoading)(const fs::path& machine);
    };
    const Case cases[] = {
        {"a driver file that is a link",
         [](const fs::path& machine) {
             fs::rename(machine / "drive_c/WINDOWS/inf/iusb2.inf", machine / "drive_c/old.inf");
             fs::create_symlink("../../old.inf", machine / "drive_c/WINDOWS/inf/iusb2.inf");
         },
         [](const fs::path&) {}},
        {"a driver folder to make", [](const fs::path&) {},
         [](const fs::path& machine) {
             fs::remove_all(machine / "drive_c/WINDOWS/system32/drivers");
         }},
    };
    const fs::path link = "drive_c/WINDOWS/inf/iusb2.inf";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        c.beforeLoading(machine_);
        auto run = Prepare(machine_);
        c.afterLoading(machine_);
        Tree start = WithoutTemporaries(ReadTree(machine_));
        bool wasLink = fs::is_symlink(machine_ / link);
        FailCalls failing({{HostCall::Rename, "m/registry.reg", 1}});
        auto report = Apply(*run, &failing);
        EXPECT_FALSE(report.ok);
        EXPECT_TRUE(report.written.empty());
        EXPECT_EQ(report.rolledBack.size(), 4u);
        Tree now = ReadTree(machine_);
        EXPECT_TRUE(now == start) << Differences(now, start);
        EXPECT_EQ(fs::is_symlink(machine_ / link), wasLink);
        if (wasLink) {
            EXPECT_EQ(fs::read_symlink(machine_ / link), "../../old.inf");
        }
    }
}

// A link in a drive folder is followed for writing only while it leads to
// a place inside that folder, by the rule the simulated drive reads with: a
// link leading out, met before or appearing after the run, is refused with
// a message naming it, and nothing is written, outside or in.
TEST_F(ApplyFaultSweepTest, LinksAreFollowedForWritingOnlyInsideTheDrive) {
    struct Case {
        const char* what;
        void (*beforeLoading)(const fs::path& machine, const fs::path& outside);
        void (*afterLoading)(const fs::path& machine, const fs::path& outside);
        const char* refusal;  // null: written, through the link
    };
    const Case cases[] = {
        {"a driver file that links out",
         [](const fs::path& machine, const fs::path& outside) {
             fs::remove(machine / "drive_c/WINDOWS/inf/iusb2.inf");
             fs::create_symlink(outside / "secret.inf", machine / "drive_c/WINDOWS/inf/iusb2.inf");
         },
         [](const fs::path&, const fs::path&) {},
         "/drive_c/WINDOWS/inf/iusb2.inf is a symbolic link that leads out of the drive folder "},
        {"a folder on the way that links out", [](const fs::path&, const fs::path&) {},
         [](const fs::path& machine, const fs::path& outside) {
             fs::remove_all(machine / "drive_c/WINDOWS/inf");
             fs::create_directory_symlink(outside, machine / "drive_c/WINDOWS/inf");
         },
         "/drive_c/WINDOWS/inf is a symbolic link that leads out of the drive folder "},
        {"a folder on the way that links inside", [](const fs::path&, const fs::path&) {},
         [](const fs::path& machine, const fs::path&) {
             fs::rename(machine / "drive_c/WINDOWS/system32", machine / "drive_c/sys32");
             fs::create_directory_symlink("../sys32", machine / "drive_c/WINDOWS/system32");
         },
         nullptr},
    };
    const fs::path outside = root_ / "outside";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(outside);
        fs::create_directories(outside);
        std::ofstream(outside / "secret.inf") << "not the machine's";
        FreshMachine();
        c.beforeLoading(machine_, outside);
        auto run = Prepare(machine_);
        c.afterLoading(machine_, outside);
        Tree machineBefore = WithoutTemporaries(ReadTree(machine_));
        Tree outsideBefore = ReadTree(outside);
        auto report = Apply(*run, nullptr);
        Tree outsideNow = ReadTree(outside);
        EXPECT_TRUE(outsideNow == outsideBefore) << Differences(outsideNow, outsideBefore);
        if (c.refusal != nullptr) {
            EXPECT_FALSE(report.ok);
            EXPECT_NE(report.error.find(machine_.string() + c.refusal), std::string::npos)
                << report.error;
            EXPECT_TRUE(report.written.empty());
            EXPECT_EQ(report.machineState, "everything as it was (nothing was written)");
            Tree now = WithoutTemporaries(ReadTree(machine_));
            EXPECT_TRUE(now == machineBefore) << Differences(now, machineBefore);
        } else {
            EXPECT_TRUE(report.ok) << report.error;
            EXPECT_TRUE(fs::is_symlink(machine_ / "drive_c/WINDOWS/system32"));
            std::ifstream written(machine_ / "drive_c/sys32/drivers/iusbehci.sys");
            std::string bytes(std::istreambuf_iterator<char>(written), {});
            std::ifstream source(machine_ / "drive_c/DRV/owc/iusbehci.sys");
            EXPECT_EQ(bytes, std::string(std::istreambuf_iterator<char>(source), {}));
        }
    }
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
        EXPECT_TRUE(WithoutTemporaries(ReadTree(machine_)) == WithoutTemporaries(changed));
        EXPECT_TRUE(report.written.empty());
    }
}

}  // namespace
