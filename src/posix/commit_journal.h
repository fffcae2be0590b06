#pragma once

#include <string>
#include <vector>

#include "posix/incoming_file.h"

namespace telvaro3::posix {

// The commit of received files. A commit that adds records to a file, or puts more than one file
// in place, first writes what it is about to do into the directory's journal (".telvaro3.commit");
// the journal goes when everything is done. A journal found by a later reception belongs to one
// that died in the middle: it is carried out again from the start, which gives the same files.
class CommitJournal {
 public:
  static void Commit(const std::vector<IncomingFile*>& files);
  // Carries out a journal left in dir, if any. The directory guard must be held.
  static void RollForward(const std::string& dir);
};

// Rolls forward a journal and removes the hidden files of dead receptions in dir; the directory
// guard must be held.
void TidyLocked(const std::string& dir);

}  // namespace telvaro3::posix
