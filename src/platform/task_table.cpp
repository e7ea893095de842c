#include "task_table.h"

#include <atomic>

// The product's table itself names the collectors, so it is built above
// platform/, beside them (src/tasks/).

namespace {

std::atomic<const TaskTable*> replacementTable{nullptr};

}  // namespace

const TaskTable& taskTable() {
    const TaskTable* replacement = replacementTable.load();
    return replacement ? *replacement : productTaskTable();
}

const TaskTable* setTaskTable(const TaskTable* replacement) { return replacementTable.exchange(replacement); }
