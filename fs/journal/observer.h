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
        return writer_ != nullptr ? writer_->recordLinked(folder, name) : EIO;
    }
    int linked(const std::string& name) override {
        return writer_ != nullptr ? writer_->recordLinkMade(folder, name) : EIO;
    }
    int reserving(const std::string& name) override {
        return writer_ != nullptr ? writer_->recordReservation(folder, name, {}) : EIO;
    }
    int reserved(const std::string& name, const struct stat& st) override {
        return writer_ != nullptr ? writer_->recordReservationMade(folder, name, st) : EIO;
    }

private:
    JournalWriter* writer_;

public:
    std::size_t folder;  // the folder of the run the renames are in
};

}  // namespace fs
