// The common shape of the server settings probes: one row whose columns are
// each filled by one statement's single value on the monitored server. Used
// by one probe run on one thread.
#pragma once

#include <string>
#include <vector>

#include "db/db_connection.h"
#include "db/result_set_with_fixed_rows.h"

// One column of a settings row and the statement whose first value fills it.
struct SettingStatement {
  const char* column;
  const char* statement;
};

// The column names of `statements`, in order.
std::vector<std::string> SettingColumns(const std::vector<SettingStatement>& statements);

// Runs each statement on `server` in order and adds one row of their first
// values (an empty text when a statement returns no row). The first statement
// that fails sets `error` to its error text and no row is added.
void AddSettingsRow(DBConnection& server, const std::vector<SettingStatement>& statements,
                    ResultSetWithFixedRows& rows, std::string& error);
