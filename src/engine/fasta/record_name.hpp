// RecordName: the name of an index entry, held inside the entry when it is short.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace sekva {

// The names of the reads of common sequencers (Illumina's run:flowcell:tile:x:y names, nanopore
// UUIDs, SRA accessions) fit in the entry itself: an index of millions of reads then costs no heap
// block per name, and the names are read, hashed and compared where the entries are.
class RecordName {
public:
    static constexpr std::size_t IN_PLACE = 44;

    RecordName() noexcept { local_[0] = '\0'; }
    RecordName(std::string_view text) { set(text); }  // NOLINT: a name is made from any text
    RecordName(const std::string& text) : RecordName(std::string_view(text)) {}  // NOLINT
    RecordName(const char* text) : RecordName(std::string_view(text)) {}  // NOLINT
    RecordName(const RecordName& other) { set(other); }
    RecordName(RecordName&& other) noexcept { take(other); }
    RecordName& operator=(const RecordName& other) {
        if (this != &other) assign(other);
        return *this;
    }
    RecordName& operator=(RecordName&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    RecordName& operator=(std::string_view text) {
        assign(text);
        return *this;
    }
    RecordName& operator=(const std::string& text) { return *this = std::string_view(text); }
    RecordName& operator=(const char* text) { return *this = std::string_view(text); }
    ~RecordName() { release(); }

    // The text may be a part of this name.
    void assign(std::string_view text) {
        RecordName made(text);
        *this = std::move(made);
    }
    void assign(const char* data, std::size_t size) { assign(std::string_view(data, size)); }

    const char* data() const noexcept { return size_ > IN_PLACE ? heap_ : local_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string_view view() const noexcept { return {data(), size_}; }
    operator std::string_view() const noexcept { return view(); }  // NOLINT: read as text anywhere
    std::string str() const { return std::string(view()); }

    friend bool operator==(const RecordName& a, const RecordName& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const RecordName& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const RecordName& a, const std::string& b) noexcept { return a.view() == b; }
    friend bool operator==(const RecordName& a, const char* b) noexcept { return a.view() == b; }
    friend std::string operator+(const std::string& a, const RecordName& b) { return a + std::string(b.view()); }
    friend std::string operator+(const char* a, const RecordName& b) { return a + std::string(b.view()); }
    friend std::string operator+(const RecordName& a, const std::string& b) { return std::string(a.view()) + b; }
    friend std::string operator+(const RecordName& a, const char* b) { return std::string(a.view()) + b; }

private:
    void set(std::string_view text) {
        if (text.size() > UINT32_MAX) throw std::length_error("a record name of 4 GiB or more");
        size_ = static_cast<std::uint32_t>(text.size());
        char* to = local_;
        if (size_ > IN_PLACE) to = heap_ = new char[size_];
        std::memcpy(to, text.data(), size_);
    }
    void take(RecordName& other) noexcept {
        std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof *this);
        other.size_ = 0;
    }
    void release() noexcept {
        if (size_ > IN_PLACE) delete[] heap_;
    }

    union {
        char local_[IN_PLACE];
        char* heap_;
    };
    std::uint32_t size_ = 0;
};

}  // namespace sekva
