#pragma once
// A dataset over a vector of rows kept in Id order, to test the framework without
// the engine. Fields: Id (integer, required) and Name (string of 10). Record
// buffer: Id (4 bytes), Name presence byte and 11 bytes, the calculated part, then
// the row index (4), the bookmark flag (1) and the bookmark (the Id, 4).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"

namespace kura::test {

struct Row {
    int32_t Id = 0;
    std::string Name;  // empty: null
};

class TVectorDataSet : public TDataSet {
public:
    std::vector<Row> Rows;
    std::vector<std::string> Log;  // Internal... calls in order

    ~TVectorDataSet() override { Close(); }

    bool GetFieldData(TField* field, void* buffer) override {
        const uint8_t* rec = RecBuf();
        if (!rec) return false;
        if (field->FieldKind != fkData) {
            const uint8_t* p = rec + RecordPart + field->Offset;
            if (p[0] && buffer) std::memcpy(buffer, p + 1, static_cast<std::size_t>(field->DataSize()));
            return p[0] != 0;
        }
        if (field->FieldNo == 1) {
            if (buffer) std::memcpy(buffer, rec, 4);
            return true;
        }
        if (!rec[4]) return false;
        if (buffer) std::memcpy(buffer, rec + 5, 11);
        return true;
    }

    void SetFieldData(TField* field, const void* buffer) override {
        if (FState != dsEdit && FState != dsInsert && FState != dsCalcFields && FState != dsFilter)
            DatabaseError("Not editing");
        uint8_t* rec = RecBuf();
        if (field->FieldKind != fkData) {
            uint8_t* p = rec + RecordPart + field->Offset;
            p[0] = buffer ? 1 : 0;
            if (buffer) std::memcpy(p + 1, buffer, static_cast<std::size_t>(field->DataSize()));
        } else if (field->FieldNo == 1) {
            int32_t v = 0;
            if (buffer) std::memcpy(&v, buffer, 4);
            std::memcpy(rec, &v, 4);
        } else {
            std::memset(rec + 4, 0, 12);
            if (buffer && static_cast<const char*>(buffer)[0]) {
                rec[4] = 1;
                std::memcpy(rec + 5, buffer, 11);
            }
        }
        if (FState != dsCalcFields && FState != dsFilter)
            DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
    }

protected:
    static constexpr int RecordPart = 16;
    int InfoOfs() const { return RecordPart + CalcFieldsSize(); }

    uint8_t* RecBuf() {
        switch (FState) {
            case dsBrowse: return FRecordCount == 0 ? nullptr : ActiveBuffer();
            case dsEdit:
            case dsInsert: return ActiveBuffer();
            case dsCalcFields: return CalcBuffer();
            default: return nullptr;
        }
    }

    uint8_t* AllocRecordBuffer() override { return new uint8_t[static_cast<std::size_t>(InfoOfs() + 9)](); }
    void FreeRecordBuffer(uint8_t*& b) override {
        delete[] b;
        b = nullptr;
    }
    void GetBookmarkData(const uint8_t* b, TBookmark& data) override { data.assign(b + InfoOfs() + 5, b + InfoOfs() + 9); }
    TBookmarkFlag GetBookmarkFlag(const uint8_t* b) override { return static_cast<TBookmarkFlag>(b[InfoOfs() + 4]); }
    void SetBookmarkFlag(uint8_t* b, TBookmarkFlag f) override { b[InfoOfs() + 4] = f; }
    void SetBookmarkData(uint8_t* b, const TBookmark& data) override {
        std::memcpy(b + InfoOfs() + 5, data.data(), std::min<std::size_t>(4, data.size()));
    }

    TGetResult GetRecord(uint8_t* buffer, TGetMode mode, bool) override {
        const int n = static_cast<int>(Rows.size());
        if (mode == gmNext) {
            if (++pos_ >= n) {
                pos_ = n;
                return grEOF;
            }
        } else if (mode == gmPrior) {
            if (--pos_ < 0) {
                pos_ = -1;
                return grBOF;
            }
        } else if (pos_ < 0 || pos_ >= n) {
            return grError;
        }
        const Row& r = Rows[static_cast<std::size_t>(pos_)];
        std::memset(buffer, 0, RecordPart);
        std::memcpy(buffer, &r.Id, 4);
        if (!r.Name.empty()) {
            buffer[4] = 1;
            std::memcpy(buffer + 5, r.Name.data(), std::min<std::size_t>(10, r.Name.size()));
        }
        std::memcpy(buffer + InfoOfs(), &pos_, 4);
        buffer[InfoOfs() + 4] = bfCurrent;
        std::memcpy(buffer + InfoOfs() + 5, &r.Id, 4);
        GetCalcFields(buffer);
        return grOK;
    }

    void InternalAddRecord(uint8_t*, bool) override {}
    void InternalClose() override {
        Log.push_back("close");
        open_ = false;
        BindFields(false);
        DestroyDefaultFields();
    }
    void InternalDelete() override {
        Log.push_back("delete");
        Rows.erase(Rows.begin() + pos_);
    }
    void InternalFirst() override { pos_ = -1; }
    void InternalLast() override { pos_ = static_cast<int>(Rows.size()); }
    void InternalGotoBookmark(const TBookmark& b) override {
        int32_t id = 0;
        std::memcpy(&id, b.data(), 4);
        for (std::size_t i = 0; i < Rows.size(); ++i)
            if (Rows[i].Id == id) pos_ = static_cast<int>(i);
    }
    void InternalInitFieldDefs() override {
        FieldDefs().Clear();
        FieldDefs().Add("Id", ftInteger, 0, true);
        FieldDefs().Add("Name", ftString, 10);
    }
    void InternalInitRecord(uint8_t* b) override { std::memset(b, 0, RecordPart); }
    void InternalOpen() override {
        Log.push_back("open");
        FieldDefs().Updated = false;
        FieldDefs().Update();
        if (DefaultFields()) CreateFields();
        BindFields(true);
        pos_ = -1;
        open_ = true;
    }
    void InternalPost() override {
        Log.push_back(FState == dsEdit ? "post-edit" : "post-insert");
        Row r;
        const uint8_t* rec = ActiveBuffer();
        std::memcpy(&r.Id, rec, 4);
        if (rec[4]) r.Name = std::string(reinterpret_cast<const char*>(rec + 5));
        for (std::size_t i = 0; i < Rows.size(); ++i)
            if (Rows[i].Id == r.Id && !(FState == dsEdit && static_cast<int>(i) == pos_)) DatabaseError("Key violation");
        if (FState == dsEdit) Rows.erase(Rows.begin() + pos_);
        auto at = std::lower_bound(Rows.begin(), Rows.end(), r.Id, [](const Row& a, int32_t id) { return a.Id < id; });
        const auto inserted = Rows.insert(at, r);  // may move the rows: begin() after it
        pos_ = static_cast<int>(inserted - Rows.begin());
    }
    void InternalSetToRecord(uint8_t* b) override {
        TBookmark mark;
        GetBookmarkData(b, mark);
        InternalGotoBookmark(mark);
    }
    bool IsCursorOpen() const override { return open_; }
    void InternalEdit() override { Log.push_back("edit"); }
    void InternalCancel() override { Log.push_back("cancel"); }
    int GetRecordCount() override { return static_cast<int>(Rows.size()); }

private:
    int pos_ = -1;
    bool open_ = false;
};

}  // namespace kura::test
