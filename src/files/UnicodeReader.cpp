#include "files/UnicodeReader.h"

#include <unistd.h>

#include "files/FileApi.h"

namespace files {

UnicodeReader::~UnicodeReader() {
    if (IsOpen()) CloseFile();
}

bool UnicodeReader::Eof() const {
    if (!IsOpen()) throw UnicodeReaderError(52, "Bad file name or number");
    return eof_;
}

std::int32_t UnicodeReader::Length() const {
    if (!IsOpen()) throw UnicodeReaderError(52, "Bad file name or number");
    // Half the byte length, ties to even: 2k+1 bytes give k when k is even, k+1 when odd.
    const std::int64_t half = byteLength_ / 2;
    if (byteLength_ % 2 == 0) return static_cast<std::int32_t>(half);
    return static_cast<std::int32_t>(half % 2 == 0 ? half : half + 1);
}

void UnicodeReader::CloseFile() {
    lines_.clear();
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void UnicodeReader::OpenFile(const std::string& fileName, std::u16string_view delimiter) {
    if (IsOpen()) throw UnicodeReaderError(55, "File already open");
    const int fd = OpenForReading(fileName);
    if (fd < 0) throw UnicodeReaderError(53, "File not found: " + fileName);
    file_ = ::fdopen(fd, "rb");
    if (!file_) {
        ::close(fd);
        throw UnicodeReaderError(57, "Device I/O error: " + fileName);
    }
    delimiter_.assign(delimiter);
    lines_.assign(1, std::u16string());
    nextLine_ = 0;
    lastChunk_ = false;
    eof_ = false;

    std::fseek(file_, 0, SEEK_END);
    byteLength_ = std::ftell(file_);
    std::fseek(file_, 0, SEEK_SET);
    if (byteLength_ < 0) {
        CloseFile();
        throw UnicodeReaderError(57, "Device I/O error: " + fileName);
    }
    if (byteLength_ >= 2) {
        unsigned char bom[2] = {0, 0};
        if (std::fread(bom, 1, 2, file_) == 2 && bom[0] == 0xFF && bom[1] == 0xFE) {
            byteLength_ -= 2;
        } else {
            std::fseek(file_, 0, SEEK_SET);
        }
    }
    // No text at all (an empty file, or a byte-order mark alone): nothing to hand out.
    if (byteLength_ == 0) {
        eof_ = true;
        lastChunk_ = true;
        return;
    }
    fullChunksRemaining_ = byteLength_ / kChunkBytes;
    remainder_ = static_cast<std::uint32_t>(byteLength_ % kChunkBytes);
    chunkSize_ = kChunkBytes;
    ReadChunk();
}

void UnicodeReader::ReadChunk() {
    if (fullChunksRemaining_ > 0) {
        --fullChunksRemaining_;
        if (fullChunksRemaining_ == 0) lastChunk_ = (remainder_ == 0);
    } else {
        lastChunk_ = true;
        chunkSize_ = remainder_;
    }
    std::string bytes(chunkSize_, '\0');
    const std::size_t got = chunkSize_ ? std::fread(bytes.data(), 1, chunkSize_, file_) : 0;
    if (got != chunkSize_) throw UnicodeReaderError(57, "Device I/O error");
    // An odd final byte is half a code unit and carries no character.
    std::u16string text = lines_.empty() ? std::u16string() : std::move(lines_.back());
    text.reserve(text.size() + got / 2);
    for (std::size_t k = 0; k + 1 < got; k += 2)
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[k]) |
                                             (static_cast<unsigned char>(bytes[k + 1]) << 8)));
    // One final delimiter ends the last line rather than starting an empty one.
    // Tested after joining, so a delimiter split over the last two chunks counts too.
    if (lastChunk_ && !delimiter_.empty() && text.size() >= delimiter_.size() &&
        text.compare(text.size() - delimiter_.size(), delimiter_.size(), delimiter_) == 0)
        text.resize(text.size() - delimiter_.size());

    lines_.clear();
    if (delimiter_.empty()) {
        lines_.push_back(std::move(text));
    } else {
        std::size_t start = 0;
        for (;;) {
            const auto pos = text.find(delimiter_, start);
            if (pos == std::u16string::npos) break;
            lines_.push_back(text.substr(start, pos - start));
            start = pos + delimiter_.size();
        }
        lines_.push_back(text.substr(start));
    }
    nextLine_ = 0;
}

std::u16string UnicodeReader::ReadLine() {
    if (!IsOpen()) throw UnicodeReaderError(52, "Bad file name or number");
    if (eof_) throw UnicodeReaderError(62, "Input past end of file");
    // The last element of a chunk may still be incomplete: join further chunks
    // until it is followed by a delimiter or the file ends, so a line longer than
    // a chunk comes back whole.
    while (nextLine_ + 1 >= lines_.size() && !lastChunk_) ReadChunk();
    if (nextLine_ + 1 >= lines_.size()) eof_ = true;
    return std::move(lines_[nextLine_++]);
}

}  // namespace files
