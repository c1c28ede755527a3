// Converts one endless daily series with N changed or cancelled instances
// (every other one moved an hour later with a subject of its own, the rest
// cancelled), then one with 2N, into a real PST, and prints each run's time
// and the process's peak memory beside the floors: 2N at most 2.5 times N's
// time (linear, not quadratic), and the peak under 1 GB.
//
//   calendar_exceptions [N]     (default 20000)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../tests/items/MetaEncoding.h"
#include "items/ZimbraConverters.h"
#include "store/PstStoreSession.h"

namespace {

using namespace metaenc;

// The instance `k` days after 1 January 1990 as the export writes its start.
std::string Day(int64_t k, int hour) {
    items::CivilTime c = items::UnixToCivil(items::CivilToUnix({1990, 1, 1, 0, 0, 0}) + k * 86400);
    char buf[64];
    std::snprintf(buf, sizeof buf, "TZID=America/New_York:%04d%02d%02dT%02d0000", c.year, c.month, c.day, hour);
    return buf;
}

std::string SeriesMeta(int64_t n) {
    Entries rule = {{"dts", BStr(Day(0, 9))}, {"recur", BStr("FREQ=DAILY")}, {"t", BInt(2)}};
    Entries recurrence = {{"add", BDict({{"nr", BInt(1)}, {"r0", BDict(rule)}})}, {"t", BStr("4")}};
    Entries top = {{"inv0", BDict({{"n", BStr("Daily")}, {"st", BStr(Day(0, 9))}, {"et", BStr(Day(0, 10))},
                                   {"recurrence", BDict(recurrence)}, {"u", BStr("daily-uid")}})},
                   {"nc", BInt(n + 1)},
                   {"v", BInt(10)}};
    for (int64_t k = 1; k <= n; ++k) {
        Entries inv = {{"rid", BDict({{"dt", BStr(Day(k, 9))}, {"r", BInt(1)}})}, {"u", BStr("daily-uid")}};
        if (k % 2) {
            inv.emplace_back("mthd", BStr("CANCEL"));
        } else {
            inv.emplace_back("st", BStr(Day(k, 10)));
            inv.emplace_back("et", BStr(Day(k, 11)));
            inv.emplace_back("n", BStr("Moved " + std::to_string(k)));
        }
        top.emplace_back("inv" + std::to_string(k), BDict(inv));
    }
    return MetaJson({{"type", "11"}, {"Path", JsonQuote("/Calendar/")}, {"id", "500"}}, BDict(top));
}

long PeakKb() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double Convert(const std::string& dir, int64_t n) {
    const std::string meta = dir + "/Calendar/" + std::to_string(n) + ".appt.meta";
    WriteFile(meta, SeriesMeta(n));
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(dir + "/" + std::to_string(n) + ".pst", 1, "Bench");
    st.ValidateIPMTree();
    items::ItemContext ctx;
    ctx.session = session.get();
    ctx.storeEntryID = st.EntryID();
    const auto start = std::chrono::steady_clock::now();
    items::ItemOutcome outcome = items::ConvertCalendarFile(ctx, meta);
    session->Logoff();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (outcome != items::ItemOutcome::Saved) {
        std::fprintf(stderr, "the series of %lld instances was not saved\n", static_cast<long long>(n));
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t n = argc > 1 ? std::max(100L, std::atol(argv[1])) : 20000;
    char pattern[] = "/tmp/orvandel-exceptions-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    std::filesystem::create_directories(dir + "/Calendar");
    std::printf("%-12s %10s %14s\n", "exceptions", "seconds", "peak RSS MB");
    const double small = Convert(dir, n);
    std::printf("%-12lld %10.2f %14.1f\n", static_cast<long long>(n), small, PeakKb() / 1024.0);
    const double large = Convert(dir, 2 * n);
    const double peakMb = PeakKb() / 1024.0;
    std::printf("%-12lld %10.2f %14.1f\n", static_cast<long long>(2 * n), large, peakMb);
    const double ratio = large / std::max(small, 1e-6);
    std::printf("time ratio 2N/N %.2f (floor: at most 2.5, linear); peak %.0f MB (floor: under 1024 MB)\n", ratio, peakMb);
    std::filesystem::remove_all(dir);
    return ratio <= 2.5 && peakMb < 1024 ? 0 : 1;
}
