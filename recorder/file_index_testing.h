// For tests only: the index marked up or down without a database.
#pragma once

void set_index_connected_for_test(bool connected);
