// "Set.txt" under SIGKILL: a child process rewrites the file in a loop through
// WriteSettingsFile, alternating two contents of different lengths, and is
// killed at a random moment; after each kill the file must hold exactly one
// of the two contents.
//
//   killwrite [--iterations=2000] [--max-delay-us=20000] [--seed=1] [--dir=DIR]
//
// Works in DIR (default: a new folder killwrite.XXXXXX in the current one).
// Prints the counts; exits 1 when the file was ever anything else.
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/settingsfile.h"

namespace {

struct Shared {
    std::atomic<long> commits{0};
    std::atomic<long> failures{0};
};

const SettingsTexts kContents[2] = {{"COM 1", "9600"}, {"COM 64", "921600"}};

std::string lineOf(const SettingsTexts& t) {
    return t.port + "," + t.baud + "\r\n";
}

[[noreturn]] void writeForever(Shared* shared) {
    for (long k = 0;; ++k) {
        const SettingsTexts& t = kContents[k & 1];
        if (WriteSettingsFile(t.port, t.baud)) {
            shared->commits.fetch_add(1, std::memory_order_relaxed);
        } else {
            shared->failures.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

std::string readWhole(const char* path, bool& exists) {
    std::ifstream in(path, std::ios::binary);
    exists = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in the folder other than "Set.txt" and the dot entries.
std::vector<std::string> strayFiles() {
    std::vector<std::string> names;
    if (DIR* d = opendir(".")) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name != kSettingsFileName) names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = 2000;
    long maxDelayUs = 20000;
    unsigned seed = 1;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.rfind("--iterations=", 0) == 0) {
            iterations = std::atol(argv[i] + 13);
        } else if (arg.rfind("--max-delay-us=", 0) == 0) {
            maxDelayUs = std::atol(argv[i] + 15);
        } else if (arg.rfind("--seed=", 0) == 0) {
            seed = static_cast<unsigned>(std::atol(argv[i] + 7));
        } else if (arg.rfind("--dir=", 0) == 0) {
            dir = argv[i] + 6;
        } else {
            std::fprintf(stderr,
                         "usage: killwrite [--iterations=N] [--max-delay-us=US] [--seed=S] "
                         "[--dir=DIR]\n");
            return 2;
        }
    }
    if (dir.empty()) {
        char name[] = "killwrite.XXXXXX";
        if (mkdtemp(name) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = name;
    }
    if (chdir(dir.c_str()) != 0) {
        std::perror(dir.c_str());
        return 1;
    }
    struct statfs fs {};
    statfs(".", &fs);

    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    new (shared) Shared;

    // How fast the child writes: one second without a kill.
    if (!WriteSettingsFile(kContents[0].port, kContents[0].baud)) {
        std::fprintf(stderr, "cannot write Set.txt in %s\n", dir.c_str());
        return 1;
    }
    pid_t pid = fork();
    if (pid == 0) writeForever(shared);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const long perSecond = shared->commits.load();
    std::printf("folder %s (filesystem type 0x%lX); the child commits %ld files a second\n",
                dir.c_str(), static_cast<unsigned long>(fs.f_type), perSecond);
    for (const std::string& name : strayFiles()) unlink(name.c_str());

    const std::string expected[2] = {lineOf(kContents[0]), lineOf(kContents[1])};
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delay(0, maxDelayUs);
    std::set<std::string> strayNamesSeen;  // left in place for the next write to clean up
    long seen[2] = {0, 0}, bad = 0, missing = 0, notKilled = 0, strayKills = 0, strayNames = 0;
    long failedWrites = 0;
    std::map<std::string, long> commitsAtKill;  // how far the child had got
    for (long i = 0; i < iterations; ++i) {
        shared->commits.store(0);
        shared->failures.store(0);
        pid = fork();
        if (pid < 0) {
            std::perror("fork");
            return 1;
        }
        if (pid == 0) writeForever(shared);
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) ++notKilled;
        const long commits = shared->commits.load();
        failedWrites += shared->failures.load();
        commitsAtKill[commits == 0     ? "0"
                      : commits <= 10  ? "1-10"
                      : commits <= 100 ? "11-100"
                                       : ">100"]++;

        bool exists = false;
        const std::string text = readWhole(kSettingsFileName, exists);
        if (!exists) {
            ++missing;
            std::printf("iteration %ld: Set.txt missing\n", i);
        } else if (text == expected[0]) {
            ++seen[0];
        } else if (text == expected[1]) {
            ++seen[1];
        } else {
            ++bad;
            std::printf("iteration %ld: Set.txt holds \"%s\"\n", i, printable(text).c_str());
        }
        const std::vector<std::string> strays = strayFiles();
        if (!strays.empty()) {
            ++strayKills;
            strayNames += static_cast<long>(strays.size());
            if (strayKills <= 3) std::printf("iteration %ld: left %s\n", i, strays[0].c_str());
            for (const std::string& name : strays) strayNamesSeen.insert(name);
        }
    }

    std::printf("iterations %ld (kill after 0..%ld us, seed %u)\n", iterations, maxDelayUs, seed);
    std::printf("Set.txt afterwards: \"%s\" %ld, \"%s\" %ld, missing %ld, anything else %ld\n",
                printable(expected[0]).c_str(), seen[0], printable(expected[1]).c_str(), seen[1],
                missing, bad);
    std::printf("child's commits before the kill:");
    for (const auto& [bucket, count] : commitsAtKill)
        std::printf(" %s: %ld;", bucket.c_str(), count);
    std::printf("\nchildren not ended by SIGKILL %ld; writes that reported failure %ld\n",
                notKilled, failedWrites);
    std::printf("kills after which a leftover stood in the folder %ld (%ld names)\n", strayKills,
                strayNames);
    std::printf("names other than Set.txt seen after kills %zu; in the folder at the end %zu\n",
                strayNamesSeen.size(), strayFiles().size());
    const bool ok = bad == 0 && missing == 0 && notKilled == 0;
    std::printf("%s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
