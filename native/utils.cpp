#include "entries.h"
#include "stub.h"

namespace mn::entries {
MN_STUB_ENTRY(compute_file_hash)
MN_STUB_ENTRY(jaccard_similarity)
MN_STUB_ENTRY(jaccard_similarity_batch)
MN_STUB_ENTRY(mmr_select_indices)
MN_STUB_ENTRY(extract_code_by_line_range)
}  // namespace mn::entries
