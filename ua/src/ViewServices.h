#pragma once
// The view service set over the address space: Browse and BrowseNext (with
// each session's continuation points), TranslateBrowsePathsToNodeIds,
// RegisterNodes and UnregisterNodes.

namespace ua {

class AddressSpace;
class ServiceTable;

void RegisterViewServices(ServiceTable& table, AddressSpace& space);

}  // namespace ua
