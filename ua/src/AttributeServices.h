#pragma once
// The attribute service set over the address space: Read and Write.

namespace ua {

class AddressSpace;
class ServiceTable;

void RegisterAttributeServices(ServiceTable& table, AddressSpace& space);

}  // namespace ua
