// Keeps the tools library non-empty before its first real member lands.
namespace trelk::tools {
int anchor() { return 0; }
}  // namespace trelk::tools
