#pragma once
// Structural verifier for Unicode PST files. It reads a file with its own code
// (nothing from the writer) and checks every layer: header and allocation maps,
// both B-trees, every block and its reference count, the heap-on-node, BTH,
// property and table contexts of every node, and the folder/message tables
// against the node tree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pst::verify {

// One problem found: where names the page, block or node ("BBT page 0x9200",
// "block 0x48 @0x5a40", "node 0x8022"), what says what is wrong.
struct Fault {
    std::string where;
    std::string what;
};

enum class Outcome {
    Clean,       // readable, no fault
    Faulty,      // readable, at least one fault
    Unreadable,  // not a PST we can read at all (see Report::fatal)
};

struct Report {
    Outcome outcome = Outcome::Clean;
    std::string fatal;            // why the file could not be read (Unreadable)
    std::string format;           // "unicode", "ansi", or "" when unknown
    std::vector<Fault> faults;    // in discovery order, capped at Options::maxFaults
    // Oddities Outlook itself leaves in files it writes (leaked space, stale table
    // copies of a message size); reported, but not faults.
    std::vector<Fault> notes;
    size_t faultsNotListed = 0;   // faults beyond the cap
    uint64_t fileSize = 0;
    size_t pages = 0;             // B-tree pages visited
    size_t mapPages = 0;          // AMap, PMap, FMap, FPMap and DList pages checked
    size_t blocks = 0;            // BBT entries
    size_t nodes = 0;             // NBT entries
    size_t folders = 0;
    size_t messages = 0;          // normal and associated messages in the NBT
    size_t propertyContexts = 0;  // PCs parsed (nodes and subnodes)
    size_t tableContexts = 0;     // TCs parsed (nodes and subnodes)
    // How far the file reached into the format's structures.
    size_t xblocks = 0, xxblocks = 0, slblocks = 0, siblocks = 0;
    size_t maxHeapPages = 0;      // largest heap-on-node, in pages
    size_t maxBthLevels = 0;      // deepest BTH (bIdxLevels)

    size_t FaultCount() const { return faults.size() + faultsNotListed; }
    bool Clean() const { return outcome == Outcome::Clean; }
};

struct Options {
    size_t maxFaults = 5000;
};

// Verifies the file at path. Never throws for file content problems; a missing
// or unreadable file gives Outcome::Unreadable.
Report VerifyFile(const std::string& path, const Options& options = {});

// Verifies a PST held in memory (tests damage copies of good files this way).
Report VerifyBuffer(const uint8_t* data, size_t size, const Options& options = {});

// "where: what"
std::string FormatFault(const Fault& fault);

// One-line summary, e.g. "file.pst: 0 faults (12 pages, 80 blocks, 60 nodes, ...)".
std::string SummaryLine(const std::string& name, const Report& report);

// The PST CRC ([MS-PST] 5.3: CRC-32 table, initial value 0, no final inversion).
uint32_t PstCrc(const uint8_t* data, size_t size, uint32_t crc = 0);

// One byte of a data block stored with the compressible encoding (bCryptMethod 1,
// [MS-PST] 5.1), decoded.
uint8_t CompressibleDecode(uint8_t stored);

}  // namespace pst::verify
