#pragma once
// The items saved since the last commit, each with the summary counter it
// went to: a failed commit loses them. Commits grow apart with the PST, so
// this can be most of a mailbox; the paths are spooled (files::PathList) and
// each counter is one byte.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/MigrationView.h"
#include "files/PathList.h"

namespace engine {

class SavedSinceCommit {
public:
    using Counter = int MailboxSummary::*;

    void emplace_back(const std::string& path, Counter counter) {
        size_t k = 0;
        while (k < counters_.size() && counters_[k] != counter) ++k;
        if (k == counters_.size()) {
            if (k > 0xFF) throw std::logic_error("more item counters than a byte can name");
            counters_.push_back(counter);
        }
        paths_.push_back(path);
        kinds_.push_back(uint8_t(k));
    }
    void clear() {
        paths_.clear();
        std::vector<uint8_t>().swap(kinds_);
    }
    bool empty() const { return kinds_.empty(); }

    class const_iterator {
    public:
        const_iterator(const SavedSinceCommit* s, size_t at) : s_(s), at_(at) {}
        std::pair<std::string, Counter> operator*() const { return {s_->paths_[at_], s_->counters_[s_->kinds_[at_]]}; }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator!=(const const_iterator& o) const { return at_ != o.at_; }

    private:
        const SavedSinceCommit* s_;
        size_t at_;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, kinds_.size()}; }

private:
    std::vector<Counter> counters_;  // the distinct counters met, named by a byte
    files::PathList paths_;
    std::vector<uint8_t> kinds_;
};

}  // namespace engine
