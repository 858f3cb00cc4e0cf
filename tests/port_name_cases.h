// The port-name tables of both systems: what each name, as typed, opens.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/port_name.h"

struct port_name_case {
    std::string typed;
    std::string opened;  // empty: no port is found
};

inline void expect_port_names(const std::vector<port_name_case>& cases) {
    for (const port_name_case& c : cases) {
        EXPECT_EQ(resolve_port_name(c.typed), c.opened) << c.typed;
    }
}
