#include "tests/fakes/win/CallJournal.h"

#include <mutex>

namespace {
std::mutex g_mutex;
std::vector<std::string> g_notes;
}  // namespace

void JournalNote(const std::string& call) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_notes.push_back(call);
}

std::vector<std::string> JournalNotes() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_notes;
}

void JournalClear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_notes.clear();
}
