// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The reading table cds1: seven fields per row (no, time, dc/ac, value, unit,
// auto, nval), texts cut to 20 characters. Built for long recordings: rows are
// 32-byte records in fixed-size chunks (appending never moves old rows), and
// every text is an index into one pool of distinct texts, so the few thousand
// distinct times, values and units of a recording are stored once each.
// Any field may be empty (null), as after loading a text file, which leaves
// nval empty.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dmm {

enum class Field : uint8_t { No, Time, DcAc, Value, Unit, Auto, Nval };
inline constexpr size_t kFieldCount = 7;
inline constexpr size_t kTextFieldSize = 20;

// The field names, in table order ("no", "time", "dc/ac", ...).
std::string_view FieldName(Field f);
inline bool IsIntegerField(Field f) {
    return f == Field::No || f == Field::Nval;
}

// One row as values, for loading, tests and the XML snapshot.
struct RowData {
    std::optional<int32_t> no;
    std::optional<std::string> time, dcac, value, unit, judge;
    std::optional<int32_t> nval;
    bool operator==(const RowData&) const = default;

    std::optional<std::string>& text(Field f);
    const std::optional<std::string>& text(Field f) const;
};

// Distinct texts, each stored once; id 0 is the null text. Most texts of a
// recording (times, values) are short runs of digits and a few signs; those
// are packed into a 64-bit key and found in a flat hash index, which stays
// fast when the pool holds a whole day of distinct times and values.
class TextPool {
  public:
    TextPool();
    uint32_t intern(std::string_view text);
    std::string_view text(uint32_t id) const { return *texts_[id]; }
    size_t size() const { return texts_.size(); }
    size_t bytes() const;  // memory held, estimated
    void clear();

  private:
    struct Slot {
        uint64_t key;  // 0: empty
        uint32_t id;
    };

    uint32_t add(std::string_view text);
    uint32_t findPacked(uint64_t key) const;
    void insertPacked(uint64_t key, uint32_t id);

    std::deque<std::string> storage_;  // stable addresses for the map's keys
    std::vector<const std::string*> texts_;
    std::unordered_map<std::string_view, uint32_t> ids_;  // texts that do not pack
    std::vector<Slot> packed_;                            // open addressing, power-of-two size
    size_t packedCount_ = 0;
    // The texts met lately, direct-mapped: a live reading wanders around its
    // recent values, and this small table stays in the cache where the index
    // of a whole day's texts does not.
    static constexpr size_t kRecent = 4096;
    std::vector<Slot> recent_;
};

class ReadingTable {
  public:
    ReadingTable() = default;
    ReadingTable(ReadingTable&&) noexcept = default;
    ReadingTable& operator=(ReadingTable&&) noexcept = default;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Appends a recorded reading: every field set. Texts longer than 20
    // characters are cut.
    void appendRecorded(int32_t no, std::string_view time, std::string_view dcac,
                        std::string_view value, std::string_view unit, std::string_view judge,
                        int32_t nval);
    // Appends a row that may hold empty fields.
    void append(const RowData& row);
    // Empties the table.
    void clear();
    // Takes over the rows of another table (a loaded snapshot).
    void replaceWith(ReadingTable&& other);

    bool isNull(size_t row, Field f) const;
    std::optional<int32_t> integer(size_t row, Field f) const;  // no, nval
    std::string_view text(size_t row, Field f) const;           // text fields; "" when null
    RowData row(size_t row) const;

    // Changes whenever rows are removed or replaced (not on append), so a
    // view knows to start over.
    uint64_t generation() const { return generation_; }

    class Snapshot;
    // The rows as they are now, kept whatever becomes of the table: a
    // recorded row never changes, so the snapshot shares the table's row
    // chunks and text pool rather than copying them, and clearing or
    // replacing the table gives the table new storage instead of emptying
    // the shared one. Costs a pointer per 65,536 rows.
    Snapshot snapshot() const;

    // Memory held by the rows and the text pool, in bytes.
    size_t bytes() const;

  private:
    struct Row {
        int32_t no;
        int32_t nval;
        uint32_t text[5];  // time, dc/ac, value, unit, auto
        uint8_t nulls;     // bit 0: no, bit 1: nval
    };
    static constexpr size_t kChunkRows = 1 << 16;

    Row& newRow();
    const Row& at(size_t i) const { return chunks_[i / kChunkRows][i % kChunkRows]; }
    // A row's no or nval, for the table and its snapshots alike.
    static std::optional<int32_t> IntegerOf(const Row& r, Field f);
    uint32_t internCut(int slot, std::string_view text);

    std::vector<std::shared_ptr<Row[]>> chunks_;
    size_t size_ = 0;
    std::shared_ptr<TextPool> pool_ = std::make_shared<TextPool>();
    // The last text of each text column and its id: a recording repeats its
    // function, unit and often its time and value, so most texts skip the map.
    std::string lastText_[5];
    uint32_t lastId_[5] = {0, 0, 0, 0, 0};
    uint64_t generation_ = 0;
};

class ReadingTable::Snapshot {
  public:
    Snapshot() = default;
    size_t size() const { return size_; }
    std::optional<int32_t> integer(size_t row, Field f) const;  // no, nval
    std::string_view text(size_t row, Field f) const;           // "" when null

  private:
    friend class ReadingTable;
    const Row& at(size_t i) const { return chunks_[i / kChunkRows][i % kChunkRows]; }

    std::vector<std::shared_ptr<const Row[]>> chunks_;
    std::shared_ptr<const TextPool> pool_;
    size_t size_ = 0;
};

}  // namespace dmm
