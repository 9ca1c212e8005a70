// The agent program for the display's EZ-USB controller, as a table of load
// records.  The table is generated at build time from resources/agent/agent.hex.
#pragma once

#include <cstddef>
#include <cstdint>

struct AgentRecord {
  std::uint16_t length;   // data bytes used, 0 to 4096
  std::uint16_t address;  // load address of the first data byte
  std::uint8_t type;      // 0 = data record; any other value ends the table
  std::uint8_t data[4096];
};

// Data records followed by one end record (type 1, length 0, address 0).
extern const AgentRecord kAgentTable[];
extern const std::size_t kAgentTableSize;  // records, the end record included
