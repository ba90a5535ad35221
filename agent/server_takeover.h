// Takeover flag files: an operator drops a file named takeover-server-<id> into
// the agent's flag directory to move the binding of server <id> to this agent.
// Agent thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/db_connection.h"

// The flag directory of this agent, always ending with "/": under the system
// temporary directory ("varo/agent-<id>/") when `flagDirSetting` is empty, else
// "<setting>/agent-<id>/" (a separator is added to the setting when it lacks one).
std::string FlagDirectoryPath(const std::string& flagDirSetting, int32_t agentId);

// The server id named by a flag file: the text after the file name's last "-"
// as a base-10 number, or none when it is not one (or does not fit 32 bits).
std::optional<int32_t> ParseFlagFileServerId(std::string_view fileName);

// Looks for takeover-server-* files in `flagDirectory` (creating the directory
// with mode 0700 when it is missing) and takes each named server over; a file
// is deleted once its server was taken over and stays otherwise, to be tried
// again next pass. A directory that is a symbolic link, is not owned by the
// agent's user or may be written by other users is refused with a warning and
// nothing is taken over; a link inside it is never followed. Statements run on
// `central`.
void ProcessFlagFiles(DBConnection& central, const std::string& flagDirectory);

// Moves the bindings of `serverId` that allow takeover to this agent. True when
// the update ran; false (after a warning) when no binding allows it or a
// statement failed (also when `central` has lost its link).
bool TakeOverServer(DBConnection& central, int32_t serverId);

// The takeover's statements: whether server `serverId` allows it, and moving
// its allowing bindings to agent `agentId`.
std::string TakeoverPermissionQuery(int32_t serverId);
std::string TakeoverStatement(int32_t agentId, int32_t serverId);
