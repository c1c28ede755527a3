// Entry points of the verifier, the CRC, and fault bookkeeping.
#include "Verifier.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Internal.h"

namespace pst::verify {

namespace {

// Eight tables, so that eight bytes are taken a step (the CRC is most of the
// time spent on blocks and pages).
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
CrcTables MakeCrcTables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        t[0][i] = c;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

}  // namespace

uint32_t PstCrc(const uint8_t* data, size_t size, uint32_t crc) {
    static const CrcTables t = MakeCrcTables();
    for (; size >= 8; size -= 8, data += 8) {
        const uint32_t a = crc ^ detail::U32(data), b = detail::U32(data + 4);
        crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^ t[3][b & 0xFF] ^
              t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    }
    for (; size > 0; --size, ++data) crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::string FormatFault(const Fault& fault) { return fault.where + ": " + fault.what; }

std::string SummaryLine(const std::string& name, const Report& r) {
    if (r.outcome == Outcome::Unreadable) return name + ": cannot be verified: " + r.fatal;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "%s: %zu fault%s, %zu note%s (%s PST, %llu bytes: %zu B-tree pages, %zu map pages, %zu blocks, %zu nodes, "
                  "%zu folders, %zu messages, %zu property contexts, %zu table contexts)",
                  name.c_str(), r.FaultCount(), r.FaultCount() == 1 ? "" : "s", r.notes.size(), r.notes.size() == 1 ? "" : "s",
                  r.format.empty() ? "unknown" : r.format.c_str(), static_cast<unsigned long long>(r.fileSize),
                  r.pages, r.mapPages, r.blocks, r.nodes, r.folders, r.messages, r.propertyContexts,
                  r.tableContexts);
    return buf;
}

Report VerifyBuffer(const uint8_t* data, size_t size, const Options& options) {
    Report report;
    report.fileSize = size;
    detail::Context ctx(data, size, options, report);
    ctx.Run();
    if (report.outcome != Outcome::Unreadable) report.outcome = report.FaultCount() ? Outcome::Faulty : Outcome::Clean;
    return report;
}

Report VerifyFile(const std::string& path, const Options& options) {
    Report report;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        report.outcome = Outcome::Unreadable;
        report.fatal = "cannot open file: " + std::string(std::strerror(errno));
        return report;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        report.outcome = Outcome::Unreadable;
        report.fatal = "not a regular file";
        return report;
    }
    size_t size = static_cast<size_t>(st.st_size);
    if (size == 0) {
        ::close(fd);
        report.outcome = Outcome::Unreadable;
        report.fatal = "file is empty (0 bytes)";
        return report;
    }
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        report.outcome = Outcome::Unreadable;
        report.fatal = "cannot map file: " + std::string(std::strerror(errno));
        return report;
    }
    report.fileSize = size;
    detail::Context ctx(static_cast<const uint8_t*>(map), size, options, report);
    ctx.releasable = true;
    ctx.mappedBefore = detail::MappedFileBytes();  // the program's own, and other files the process maps
    ctx.Run();
    if (report.outcome != Outcome::Unreadable) report.outcome = report.FaultCount() ? Outcome::Faulty : Outcome::Clean;
    ::munmap(map, size);
    return report;
}

namespace detail {

// Mapped pages a run keeps resident before giving them back.
constexpr uint64_t kResidentBudget = 32ull << 20;
// Reading that passes between two looks at what is really resident.
constexpr uint64_t kLookEvery = 4ull << 20;

// /proc/self/statm's third field: resident file-backed pages.
uint64_t MappedFileBytes() {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return UINT64_MAX;
    char buf[128];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return UINT64_MAX;
    buf[n] = 0;
    unsigned long long total = 0, resident = 0, shared = 0;
    if (std::sscanf(buf, "%llu %llu %llu", &total, &resident, &shared) != 3) return UINT64_MAX;
    return uint64_t(shared) * uint64_t(::sysconf(_SC_PAGESIZE));
}

std::string TagText(uint32_t tag) {
    std::string s = "0x00000000";  // built by hand: a hot path when many faults are listed
    for (int i = 9; i >= 2; --i, tag >>= 4) s[size_t(i)] = "0123456789ABCDEF"[tag & 15];
    return s;
}

std::string Hex(uint64_t v) {
    char buf[18];
    char* p = buf + sizeof buf;
    do {
        *--p = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v);
    *--p = 'x';
    *--p = '0';
    return std::string(p, buf + sizeof buf);
}

uint16_t Signature(uint64_t ib, uint64_t bid) {
    uint64_t x = ib ^ bid;
    return uint16_t((x >> 16) ^ x);
}

std::string NodeName(uint32_t nid) { return "node " + Hex(nid); }
std::string BlockName(uint64_t bid, uint64_t ib) { return "block " + Hex(bid) + " @" + Hex(ib); }

Context::Context(const uint8_t* d, size_t s, const Options& o, Report& r)
    : data(d), size(s), options(o), report(r),
      bbt([](const uint8_t* page, size_t i) -> BbtIndex::Item {
          const uint8_t* e = page + 24 * i;
          return {U64(e), BbtEntry{U64(e + 8), U16(e + 16), U16(e + 18)}};
      }),
      nbt([](const uint8_t* page, size_t i) -> NbtIndex::Item {
          // Only the low 32 bits of the NID field are the NID.
          const uint8_t* e = page + 32 * i;
          return {U32(e), NbtEntry{U64(e + 8), U64(e + 16), U32(e + 24)}};
      }) {
    // A read next to the last one costs nothing more: the kernel mapped its neighbours.
    auto touched = [this](uint64_t ib) {
        if (ib / kTouch != lastTouched_) Used(kTouch);
        lastTouched_ = ib / kTouch;
    };
    bbt.Attach(data, touched, [this] {
        uint64_t pagesLeft = size / kPageSize;
        return size_t(CountLeafEntries(bbtRootIb, 0, pagesLeft));
    });
    nbt.Attach(data, touched, [this] {
        uint64_t pagesLeft = size / kPageSize;
        return size_t(CountLeafEntries(nbtRootIb, 0, pagesLeft));
    });
}

void Context::Fault(const std::string& where, const std::string& what) {
    if (muted_) return;
    if (report.faults.size() >= options.maxFaults) {
        ++report.faultsNotListed;
        return;
    }
    report.faults.push_back({where, what});
}

void Context::Note(const std::string& where, const std::string& what) {
    if (muted_) return;
    if (report.notes.size() < options.maxFaults) report.notes.push_back({where, what});
}

void Context::Used(uint64_t bytes) const {
    if (!releasable) return;
    used_ += bytes;
    sinceLook_ += bytes;
    if (sinceLook_ < kLookEvery) return;
    sinceLook_ = 0;
    // One fault may map more than the pages read (a large page-cache folio is
    // mapped whole), so the kernel is asked what is resident; the sum of the
    // reads is the measure only where it cannot say.
    const uint64_t mapped = MappedFileBytes();
    if (mapped == UINT64_MAX || mappedBefore == UINT64_MAX ? used_ < kResidentBudget
                                                            : mapped < mappedBefore + kResidentBudget)
        return;
    used_ = 0;
    // A private read-only mapping: dropped pages are read again from the file.
    ::madvise(const_cast<uint8_t*>(data), size, MADV_DONTNEED);
}

void Context::Run() {
    CheckHeader();
    if (report.outcome == Outcome::Unreadable) return;
    if (nbtRootIb == 0 && bbtRootIb == 0) return;
    WalkBTree(false, bbtRootBid, bbtRootIb, -1, 0, false, 0, 0);
    WalkBTree(true, nbtRootBid, nbtRootIb, -1, 0, false, 0, 0);
    CheckPageBids();
    report.blocks = bbt.size();
    report.nodes = nbt.size();
    blockStates.Reset(bbt.size());
    CheckBlocks();
    CheckNodes();
    CheckMaps();
    CheckCounters();
    CheckMessaging();
}

}  // namespace detail
}  // namespace pst::verify
