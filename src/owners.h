// owners.h: the names of users and groups, as a manifest gives them.
#ifndef KORLAN_OWNERS_H_
#define KORLAN_OWNERS_H_

#include <cstdint>
#include <string>
#include <unordered_map>

// Looks names up through the system's databases (getpwuid_r, getgrgid_r),
// once per id: one per thread.
class OwnerNames {
 public:
  // The name of user or group `id`; the number itself when it has none.
  const std::string& user(uint32_t id) { return lookUp(&users_, id, true); }
  const std::string& group(uint32_t id) { return lookUp(&groups_, id, false); }

 private:
  const std::string& lookUp(std::unordered_map<uint32_t, std::string>* names,
                            uint32_t id, bool user);

  std::unordered_map<uint32_t, std::string> users_, groups_;
};

#endif  // KORLAN_OWNERS_H_
