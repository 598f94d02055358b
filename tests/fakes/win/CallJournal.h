// The order in which fakes were called, across objects and threads.
#pragma once

#include <string>
#include <vector>

// Any thread.
void JournalNote(const std::string& call);
std::vector<std::string> JournalNotes();
void JournalClear();
