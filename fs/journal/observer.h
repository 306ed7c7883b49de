#pragma once

// What a rename learns on the way, written to a run's journal: the one observer of the rename
// run, the merge, and the undo and finish that go on with a run.

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "fs/journal/journal.h"
#include "fs/rename_methods.h"

namespace fs {

class JournalObserver final : public RenameObserver {
public:
    // `writer` null: no journal to write to, so no step that needs one is taken.
    JournalObserver(JournalWriter* writer, std::size_t folder) : writer_(writer), folder(folder) {}
    int linking(const std::string& name) override {
        return writer_ == nullptr ? EIO
               : back_            ? writer_->recordBackLink(folder, name, false)
                                  : writer_->recordLinked(folder, name);
    }
    int linked(const std::string& name) override {
        return writer_ == nullptr ? EIO
               : back_            ? writer_->recordBackLink(folder, name, true)
                                  : writer_->recordLinkMade(folder, name);
    }
    int reserving(const std::string& name) override {
        return writer_ == nullptr ? EIO
               : back_            ? writer_->recordBackReservation(folder, name, nullptr)
                                  : writer_->recordReservation(folder, name, {});
    }
    int reserved(const std::string& name, const struct stat& st) override {
        return writer_ == nullptr ? EIO
               : back_            ? writer_->recordBackReservation(folder, name, &st)
                                  : writer_->recordReservationMade(folder, name, st);
    }
    // An undo's renames, back to the old names in the folder itself.
    JournalObserver& back() {
        back_ = true;
        return *this;
    }

private:
    JournalWriter* writer_;
    bool back_ = false;

public:
    std::size_t folder;  // the folder of the run the renames are in
};

}  // namespace fs
