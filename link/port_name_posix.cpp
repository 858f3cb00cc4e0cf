// Device paths on POSIX are case-sensitive, but the tool upper-cases the name it is given, so the
// path is found again one component at a time.
#include <dirent.h>

#include <string>

#include "link/port_name.h"

namespace {

std::string upper_case(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// The one entry of `directory` whose name matches `component` without regard to case, or the
// empty string when none or several do.
std::string find_entry(const std::string& directory, const std::string& component) {
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return {};
    }
    const std::string wanted = upper_case(component);
    std::string found;
    int matches = 0;
    while (const dirent* entry = readdir(listing)) {
        if (upper_case(entry->d_name) == wanted) {
            found = entry->d_name;
            ++matches;
        }
    }
    closedir(listing);
    return matches == 1 ? found : std::string();
}

}  // namespace

std::string resolve_port_name(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    const std::string path = name.find('/') == std::string::npos ? "/dev/" + name : name;
    std::string resolved = path.front() == '/' ? "/" : "";

    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;
        }
        std::string entry = component;
        if (component != "." && component != "..") {
            entry = find_entry(resolved.empty() ? "." : resolved, component);
            if (entry.empty()) {
                return {};
            }
        }
        if (!resolved.empty() && resolved.back() != '/') {
            resolved += '/';
        }
        resolved += entry;
    }
    return resolved;
}
