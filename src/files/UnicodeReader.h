#pragma once
// Line reader for UTF-16 little-endian text files that reads 32768-byte chunks
// instead of the whole file.
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "files/Utf.h"  // Utf16ToUtf8 for the lines read

namespace files {

// Misuse and file errors of UnicodeReader, with the classic runtime error numbers:
// 52 bad file name or number (no file open), 53 file not found, 55 file already
// open, 57 device I/O error, 62 input past end of file.
class UnicodeReaderError : public std::runtime_error {
public:
    UnicodeReaderError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

class UnicodeReader {
public:
    static constexpr std::uint32_t kChunkBytes = 32768;

    UnicodeReader() = default;
    ~UnicodeReader();  // closes a file still open
    UnicodeReader(const UnicodeReader&) = delete;
    UnicodeReader& operator=(const UnicodeReader&) = delete;

    // The EOF property: true once the last line has been handed out, or at once
    // for an empty file. Throws 52 when no file is open.
    bool Eof() const;
    bool IsOpen() const { return file_ != nullptr; }
    // Half the text's byte length (UTF-16 code units), rounded half to even.
    // Throws 52 when no file is open.
    std::int32_t Length() const;

    void CloseFile();
    // The next line, without its delimiter. Lines of any length, also longer than
    // a chunk, come back whole.
    std::u16string ReadLine();
    // Opens the file and reads its first chunk; a leading FF FE byte-order mark is
    // skipped. Throws UnicodeReaderError when a file is already open (55) or the
    // file cannot be opened (53) or read (57).
    void OpenFile(const std::string& fileName, std::u16string_view delimiter);

private:
    void ReadChunk();

    std::FILE* file_ = nullptr;
    std::u16string delimiter_;
    std::int64_t byteLength_ = 0;
    std::int64_t fullChunksRemaining_ = 0;
    std::uint32_t remainder_ = 0;
    std::uint32_t chunkSize_ = kChunkBytes;
    bool lastChunk_ = false;
    std::vector<std::u16string> lines_;
    std::size_t nextLine_ = 0;
    bool eof_ = false;
};

}  // namespace files
