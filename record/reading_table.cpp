// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/reading_table.h"

#include <algorithm>

#include "decode/text_rules.h"

namespace dmm {

namespace {
constexpr std::string_view kFieldNames[kFieldCount] = {"no",   "time", "dc/ac", "value",
                                                       "unit", "auto", "nval"};
int TextSlot(Field f) {
    return int(f) - 1;
}  // time .. auto are slots 0..4
}  // namespace

std::string_view FieldName(Field f) {
    return kFieldNames[size_t(f)];
}

std::optional<std::string>& RowData::text(Field f) {
    switch (f) {
        case Field::Time:
            return time;
        case Field::DcAc:
            return dcac;
        case Field::Value:
            return value;
        case Field::Unit:
            return unit;
        default:
            return judge;
    }
}

const std::optional<std::string>& RowData::text(Field f) const {
    return const_cast<RowData*>(this)->text(f);
}

namespace {

// The signs of a packable text, 4 bits each (0 ends the text).
int PackSymbol(char c) {
    if (c >= '0' && c <= '9')
        return 1 + (c - '0');
    switch (c) {
        case '.':
            return 11;
        case ',':
            return 12;
        case '-':
            return 13;
        case ':':
            return 14;
        case 'L':
            return 15;
        default:
            return -1;
    }
}

// Up to 15 packable characters as a nonzero key; 0 when the text does not pack.
uint64_t PackKey(std::string_view text) {
    if (text.empty() || text.size() > 15)
        return 0;
    uint64_t key = 0;
    for (char c : text) {
        const int s = PackSymbol(c);
        if (s < 0)
            return 0;
        key = (key << 4) | uint64_t(s);
    }
    return key;
}

size_t SlotOf(uint64_t key, size_t mask) {
    return size_t((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

}  // namespace

TextPool::TextPool() {
    clear();
}

void TextPool::clear() {
    storage_.clear();
    texts_.clear();
    ids_.clear();
    packed_.assign(1024, Slot{0, 0});
    packedCount_ = 0;
    recent_.assign(kRecent, Slot{0, 0});
    storage_.emplace_back();  // id 0: null
    texts_.push_back(&storage_.back());
}

uint32_t TextPool::add(std::string_view text) {
    storage_.emplace_back(text);
    const auto id = uint32_t(texts_.size());
    texts_.push_back(&storage_.back());
    return id;
}

uint32_t TextPool::findPacked(uint64_t key) const {
    const size_t mask = packed_.size() - 1;
    for (size_t i = SlotOf(key, mask);; i = (i + 1) & mask) {
        if (packed_[i].key == key)
            return packed_[i].id;
        if (packed_[i].key == 0)
            return 0;
    }
}

void TextPool::insertPacked(uint64_t key, uint32_t id) {
    if ((packedCount_ + 1) * 2 > packed_.size()) {
        std::vector<Slot> old(packed_.size() * 2, Slot{0, 0});
        old.swap(packed_);
        packedCount_ = 0;
        for (const Slot& s : old) {
            if (s.key != 0)
                insertPacked(s.key, s.id);
        }
    }
    const size_t mask = packed_.size() - 1;
    size_t i = SlotOf(key, mask);
    while (packed_[i].key != 0)
        i = (i + 1) & mask;
    packed_[i] = Slot{key, id};
    ++packedCount_;
}

uint32_t TextPool::intern(std::string_view text) {
    if (const uint64_t key = PackKey(text)) {
        Slot& recent = recent_[size_t(key ^ (key >> 12)) & (kRecent - 1)];
        if (recent.key == key)
            return recent.id;
        uint32_t id = findPacked(key);
        if (id == 0) {
            id = add(text);
            insertPacked(key, id);
        }
        recent = Slot{key, id};
        return id;
    }
    if (auto it = ids_.find(text); it != ids_.end())
        return it->second;
    const uint32_t id = add(text);
    ids_.emplace(std::string_view(*texts_[id]), id);
    return id;
}

size_t TextPool::bytes() const {
    size_t total =
        storage_.size() * sizeof(std::string) + texts_.capacity() * sizeof(void*) +
        (packed_.capacity() + recent_.capacity()) * sizeof(Slot) +
        ids_.bucket_count() * sizeof(void*) +
        ids_.size() * (sizeof(std::pair<std::string_view, uint32_t>) + 2 * sizeof(void*));
    for (const auto& s : storage_) {
        if (s.capacity() > 15)
            total += s.capacity() + 1;
    }
    return total;
}

ReadingTable::Row& ReadingTable::newRow() {
    if (size_ == chunks_.size() * kChunkRows) {
        // Not zeroed: every row is written in full before it is read, and a
        // chunk's pages only become resident as rows fill them.
        chunks_.push_back(
            std::shared_ptr<Row[]>(std::make_unique_for_overwrite<Row[]>(kChunkRows)));
    }
    Row& r = chunks_[size_ / kChunkRows][size_ % kChunkRows];
    ++size_;
    return r;
}

uint32_t ReadingTable::internCut(int slot, std::string_view text) {
    text = CutToChars(text, kTextFieldSize);
    if (lastId_[slot] != 0 && text == lastText_[slot])
        return lastId_[slot];
    if (!pool_)
        pool_ = std::make_shared<TextPool>();  // a table moved from and filled again
    const uint32_t id = pool_->intern(text);
    lastText_[slot].assign(text);
    lastId_[slot] = id;
    return id;
}

void ReadingTable::appendRecorded(int32_t no, std::string_view time, std::string_view dcac,
                                  std::string_view value, std::string_view unit,
                                  std::string_view judge, int32_t nval) {
    // Intern first: a failing allocation must not leave a half-made row.
    const uint32_t ids[5] = {internCut(0, time), internCut(1, dcac), internCut(2, value),
                             internCut(3, unit), internCut(4, judge)};
    Row& r = newRow();
    r.no = no;
    r.nval = nval;
    for (int i = 0; i < 5; ++i)
        r.text[i] = ids[i];
    r.nulls = 0;
}

void ReadingTable::append(const RowData& row) {
    uint32_t ids[5];
    for (int i = 0; i < 5; ++i) {
        const auto& t = row.text(Field(i + 1));
        ids[i] = t ? internCut(i, *t) : 0;
    }
    Row& r = newRow();
    r.no = row.no.value_or(0);
    r.nval = row.nval.value_or(0);
    for (int i = 0; i < 5; ++i)
        r.text[i] = ids[i];
    r.nulls = uint8_t((row.no ? 0 : 1) | (row.nval ? 0 : 2));
}

void ReadingTable::clear() {
    // New storage rather than emptied storage: a snapshot may still hold
    // the old rows and texts.
    chunks_.clear();
    size_ = 0;
    pool_ = std::make_shared<TextPool>();
    for (int i = 0; i < 5; ++i) {
        lastText_[i].clear();
        lastId_[i] = 0;
    }
    ++generation_;
}

void ReadingTable::replaceWith(ReadingTable&& other) {
    const uint64_t next = std::max(generation_, other.generation_) + 1;
    *this = std::move(other);
    generation_ = next;
    // The moved-from table is left empty and usable, not merely valid.
    other.clear();  // NOLINT(bugprone-use-after-move)
}

bool ReadingTable::isNull(size_t row, Field f) const {
    const Row& r = at(row);
    if (f == Field::No)
        return r.nulls & 1;
    if (f == Field::Nval)
        return r.nulls & 2;
    return r.text[TextSlot(f)] == 0;
}

std::optional<int32_t> ReadingTable::integer(size_t row, Field f) const {
    return IntegerOf(at(row), f);
}

std::optional<int32_t> ReadingTable::IntegerOf(const Row& r, Field f) {
    if (f == Field::No)
        return r.nulls & 1 ? std::nullopt : std::optional<int32_t>(r.no);
    if (f == Field::Nval)
        return r.nulls & 2 ? std::nullopt : std::optional<int32_t>(r.nval);
    return std::nullopt;
}

std::string_view ReadingTable::text(size_t row, Field f) const {
    if (IsIntegerField(f))
        return {};
    return pool_->text(at(row).text[TextSlot(f)]);
}

RowData ReadingTable::row(size_t i) const {
    RowData d;
    d.no = integer(i, Field::No);
    d.nval = integer(i, Field::Nval);
    for (int s = 0; s < 5; ++s) {
        const Field f = Field(s + 1);
        if (!isNull(i, f))
            d.text(f) = std::string(text(i, f));
    }
    return d;
}

size_t ReadingTable::bytes() const {
    return chunks_.size() * (kChunkRows * sizeof(Row) + sizeof(void*)) +
           (pool_ ? pool_->bytes() : 0);
}

ReadingTable::Snapshot ReadingTable::snapshot() const {
    Snapshot s;
    s.chunks_.assign(chunks_.begin(), chunks_.end());
    s.pool_ = pool_;
    s.size_ = size_;
    return s;
}

std::optional<int32_t> ReadingTable::Snapshot::integer(size_t row, Field f) const {
    return IntegerOf(at(row), f);
}

std::string_view ReadingTable::Snapshot::text(size_t row, Field f) const {
    if (IsIntegerField(f))
        return {};
    return pool_->text(at(row).text[TextSlot(f)]);
}

}  // namespace dmm
