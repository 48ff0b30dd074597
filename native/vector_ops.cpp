#include "entries.h"
#include "stub.h"

namespace mn::entries {
MN_STUB_ENTRY(cosine_similarity)
MN_STUB_ENTRY(cosine_similarity_batch)
MN_STUB_ENTRY(reciprocal_rank_fusion)
MN_STUB_ENTRY(reciprocal_rank_fusion_weighted)
}  // namespace mn::entries
