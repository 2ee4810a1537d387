// Counting the calls of the fake platform that touched a Discord pipe, for tests that check what
// a run did (or did not do) with Discord.
#pragma once

#include <cstddef>
#include <string>

#include "fake/fake_platform.h"

namespace unit {

// Calls of name whose path is a Discord pipe's ("\\.\pipe\..."): opens (CreateFileA), and reads,
// writes and peeks on a pipe handle.
inline size_t discord_pipe_calls(const std::string& name)
{
    size_t count = 0;
    for (const fake::Call& call : fake::calls_named(name)) {
        count += call.path.find("\\\\.\\pipe\\") == 0 ? 1 : 0;
    }
    return count;
}

}  // namespace unit
