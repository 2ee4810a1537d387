// Test names for table-driven GoogleTest cases: each case record carries its own name, in a
// member called label or name.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct CaseLabel {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const
    {
        return info.param.label;
    }
};

struct CaseName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const
    {
        return info.param.name;
    }
};
