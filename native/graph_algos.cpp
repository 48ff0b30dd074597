#include "entries.h"
#include "stub.h"

namespace mn::entries {
MN_STUB_ENTRY(pagerank)
MN_STUB_ENTRY(bfs_expansion)
MN_STUB_ENTRY(bfs_traversal_edges)
MN_STUB_ENTRY(strongly_connected_components)
}  // namespace mn::entries
