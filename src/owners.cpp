// owners.cpp: the names of users and groups.
#include "owners.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <vector>

const std::string& OwnerNames::lookUp(
    std::unordered_map<uint32_t, std::string>* names, uint32_t id, bool user) {
  auto it = names->find(id);
  if (it != names->end()) return it->second;
  std::string found = std::to_string(id);
  std::vector<char> buffer(1024);
  for (;;) {
    int error;
    const char* text = nullptr;
    if (user) {
      passwd pw, *result = nullptr;
      error = getpwuid_r(id, &pw, buffer.data(), buffer.size(), &result);
      if (result != nullptr) text = pw.pw_name;
    } else {
      struct group gr, *result = nullptr;
      error = getgrgid_r(id, &gr, buffer.data(), buffer.size(), &result);
      if (result != nullptr) text = gr.gr_name;
    }
    // A larger entry than the buffer: again, with room for it.
    if (error == ERANGE && buffer.size() < (1 << 20)) {
      buffer.resize(2 * buffer.size());
      continue;
    }
    if (text != nullptr) found = text;
    return names->emplace(id, found).first->second;
  }
}
