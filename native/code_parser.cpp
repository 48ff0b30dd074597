#include "entries.h"
#include "stub.h"

namespace mn::entries {
MN_STUB_ENTRY(is_language_supported)
MN_STUB_ENTRY(extract_imports_ast)
MN_STUB_ENTRY(extract_symbols)
MN_STUB_ENTRY(extract_relationships)
MN_STUB_ENTRY(extract_calls)
}  // namespace mn::entries
