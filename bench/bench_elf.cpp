// bench_elf - opens a large image and lists its globals, and times the same file through
// readelf --debug-dump=info and gdb's "info variables" for comparison.
//
//   bench_elf [ELF]   (default: Debian's libpython3.11d.so.1.0)
//
// Two figures: in-process (best of 5 opens in this process, file in the page cache) and whole
// process (a fresh process that opens the image once and exits, as a user's first open: start,
// map, read, exit), which is what compares fairly with readelf's own process.
// Targets: the whole process takes at most 0.1 x readelf's time, and the in-process open 0.2 x
// gdb's; a fresh process's peak memory stays within 3 x the size of .debug_info.
// Exit status 0 when every target is met, 1 when one is missed, 2 when the file cannot be used.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware/elf.h"

namespace {

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Opens the image and formats every global as kxtool does (into a discarded buffer).
bool open_and_list(const char* path, int32_t* count, uint64_t* debug_info_size) {
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(path, error, sizeof error);
    if (!image) {
        fprintf(stderr, "bench_elf: %s\n", error);
        return false;
    }
    char line[512];
    size_t total = 0;
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        total += static_cast<size_t>(snprintf(line, sizeof line, "%s\t0x%llX\t%llu\t%s\t%d\n", v->name,
                                              static_cast<unsigned long long>(v->address),
                                              static_cast<unsigned long long>(v->size),
                                              v->type && v->type->name ? v->type->name : "-", v->from_debug_info));
    }
    *count = elf_global_count(image);
    *debug_info_size = image->debug_info.size;
    elf_close(image);
    return total > 0;
}

double cpu_s(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Best of n wall-clock times of a shell command (output discarded), and the best CPU time (user
// + system of the command's processes): on a machine shared with other work, the CPU time is
// the steadier figure.
double time_command(const std::string& command, int runs, double* best_cpu = nullptr) {
    double best = 1e9, cpu = 1e9;
    for (int i = 0; i < runs; i++) {
        struct rusage before, after;
        getrusage(RUSAGE_CHILDREN, &before);
        double start = now_s();
        if (system((command + " >/dev/null 2>&1").c_str()) != 0) return -1;
        best = std::min(best, now_s() - start);
        getrusage(RUSAGE_CHILDREN, &after);
        cpu = std::min(cpu, cpu_s(after) - cpu_s(before));
    }
    if (best_cpu) *best_cpu = cpu;
    return best;
}

// Peak resident memory of this process so far (VmHWM), in bytes; 0 when unknown.
long own_peak_bytes() {
    FILE* status = fopen("/proc/self/status", "r");
    if (!status) return 0;
    char line[256];
    long kb = 0;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, "VmHWM:", 6) == 0) kb = strtol(line + 6, nullptr, 10);
    fclose(status);
    return kb * 1024L;
}

// One open in a fresh process (this program started again with --open-once, which reports its
// own peak memory: a forked child's figure would include the parent's pages): wall and CPU time
// of the whole process and its peak resident memory. False when the child failed.
bool fresh_process_open(const char* self, const char* path, double* seconds, double* cpu, long* peak_bytes) {
    std::string command = std::string("'") + self + "' --open-once '" + path + "'";
    struct rusage before, after;
    getrusage(RUSAGE_CHILDREN, &before);
    double start = now_s();
    FILE* child = popen(command.c_str(), "r");
    if (!child) return false;
    long peak = 0;
    if (fscanf(child, "%ld", &peak) != 1) peak = -1;
    int status = pclose(child);
    *seconds = now_s() - start;
    getrusage(RUSAGE_CHILDREN, &after);
    *cpu = cpu_s(after) - cpu_s(before);
    *peak_bytes = peak;
    return status == 0 && peak >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--open-once") == 0) {
        int32_t count = 0;
        uint64_t size = 0;
        if (!open_and_list(argv[2], &count, &size)) return 1;
        printf("%ld\n", own_peak_bytes());
        return 0;
    }
    const char* path = argc > 1 ? argv[1] : "/usr/lib/x86_64-linux-gnu/libpython3.11d.so.1.0";
    int32_t count = 0;
    uint64_t debug_info = 0;
    if (!open_and_list(path, &count, &debug_info)) return 2;  // warm-up (page cache)
    const int runs = 5;
    double ours = 1e9;
    for (int i = 0; i < runs; i++) {
        double start = now_s();
        open_and_list(path, &count, &debug_info);
        ours = std::min(ours, now_s() - start);
    }
    char self[4096];
    ssize_t self_length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (self_length <= 0) return 2;
    self[self_length] = 0;
    double whole = 1e9, whole_cpu = 1e9;
    long peak = 0;
    for (int i = 0; i < runs; i++) {
        double seconds = 0, cpu = 0;
        long bytes = 0;
        if (!fresh_process_open(self, path, &seconds, &cpu, &bytes)) return 2;
        whole = std::min(whole, seconds);
        whole_cpu = std::min(whole_cpu, cpu);
        peak = std::max(peak, bytes);
    }
    std::string quoted = std::string("'") + path + "'";
    double readelf_cpu = 0;
    double readelf = time_command("readelf --debug-dump=info " + quoted, 3, &readelf_cpu);
    double gdb = time_command("gdb -nx -batch -ex 'info variables' " + quoted, 1);

    printf("file              %s\n", path);
    printf(".debug_info       %.1f MB\n", static_cast<double>(debug_info) / 1e6);
    printf("globals           %d\n", count);
    printf("elf_open + list   %.3f s in-process, %.3f s whole process (best of %d)\n", ours, whole, runs);
    printf("whole process CPU %.3f s (user + system)\n", whole_cpu);
    printf("readelf           %.3f s (CPU %.3f s)\n", readelf, readelf_cpu);
    printf("gdb info vars     %.3f s\n", gdb);
    bool ok = true;
    if (readelf > 0) {
        double r = whole / readelf;
        printf("ratio to readelf  %.3f whole process (target <= 0.1) %s; %.3f in-process; %.3f CPU time\n", r,
               r <= 0.1 ? "ok" : "MISSED", ours / readelf, readelf_cpu > 0 ? whole_cpu / readelf_cpu : 0.0);
        ok = ok && r <= 0.1;
    } else {
        printf("ratio to readelf  n/a (readelf not available)\n");
    }
    if (gdb > 0) {
        double r = ours / gdb;
        printf("ratio to gdb      %.3f (target <= 0.2) %s\n", r, r <= 0.2 ? "ok" : "MISSED");
        ok = ok && r <= 0.2;
    } else {
        printf("ratio to gdb      n/a (gdb not available)\n");
    }
    if (peak > 0 && debug_info > 0) {
        double r = static_cast<double>(peak) / static_cast<double>(debug_info);
        printf("peak memory       %.1f MB = %.2f x .debug_info, fresh process (target <= 3) %s\n",
               static_cast<double>(peak) / 1e6, r, r <= 3 ? "ok" : "MISSED");
        ok = ok && r <= 3;
    }
    return ok ? 0 : 1;
}
