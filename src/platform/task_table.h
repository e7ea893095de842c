// The process-wide table of the eight metric tasks, in the order in which the
// platform service starts their threads.
#pragma once

#include <memory>
#include <vector>

#include "platform_task.h"

using TaskTable = std::vector<std::shared_ptr<QmPlatformTask>>;

// The product's table, built during static initialisation, never changed.
const TaskTable& productTaskTable();

// The table platform_init and platform_shutdown work on: the product's table
// unless a test has put one of its own in place.
const TaskTable& taskTable();

// Puts a test table in place (null restores the product's table); returns
// the previous replacement. Only while no task thread runs.
const TaskTable* setTaskTable(const TaskTable* replacement);
