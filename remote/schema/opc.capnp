@0xaedbaaf4b0650684;
# The server's OPC objects as other processes reach them. Each interface
# carries the methods of every COM interface its object serves; results keep
# the HRESULT of the real call, so a client sees exactly what an in-process
# client would. Wide strings travel as UTF-8 text, handles and types as
# their 32- and 16-bit values, data streams as the exact bytes the server built.

$import "/capnp/c++.capnp".namespace("vokrpc");

struct Guid {
  data1 @0 :UInt32;
  data2 @1 :UInt16;
  data3 @2 :UInt16;
  data4 @3 :Data;   # 8 bytes
}

# A VARIANT: the type and one of the value forms it needs.
struct Variant {
  vt @0 :UInt16;
  bits @1 :UInt64;          # numeric, boolean, date and currency values, bit for bit
  text @2 :Text;            # VT_BSTR
  elements @3 :List(Variant); # VT_ARRAY: one dimension, each element with its own vt
  lowerBound @4 :Int32;
}

struct FileTime {
  low @0 :UInt32;
  high @1 :UInt32;
}

# A clipboard format: registered formats are numbered per process, so the
# name travels with the number and the receiver numbers it afresh.
struct FormatEtc {
  format @0 :UInt16;
  formatName @1 :Text;
  aspect @2 :UInt32;
  index @3 :Int32;
  tymed @4 :UInt32;
}

struct ItemDef {
  accessPath @0 :Text;
  itemId @1 :Text;
  active @2 :Bool;
  hClient @3 :UInt32;
  blob @4 :Data;
  requestedType @5 :UInt16;
}

struct ItemResult {
  hServer @0 :UInt32;
  canonicalType @1 :UInt16;
  accessRights @2 :UInt32;
  blob @3 :Data;
}

struct ItemState {
  hClient @0 :UInt32;
  timeStamp @1 :FileTime;
  quality @2 :UInt16;
  value @3 :Variant;
}

struct ItemAttributes {
  accessPath @0 :Text;
  itemId @1 :Text;
  active @2 :Bool;
  hClient @3 :UInt32;
  hServer @4 :UInt32;
  accessRights @5 :UInt32;
  blob @6 :Data;
  requestedType @7 :UInt16;
  canonicalType @8 :UInt16;
  euType @9 :UInt32;
  euInfo @10 :Variant;
}

struct ServerStatus {
  startTime @0 :FileTime;
  currentTime @1 :FileTime;
  lastUpdateTime @2 :FileTime;
  serverState @3 :UInt32;
  groupCount @4 :UInt32;
  bandWidth @5 :UInt32;
  majorVersion @6 :UInt16;
  minorVersion @7 :UInt16;
  buildNumber @8 :UInt16;
  vendorInfo @9 :Text;
}

# An optional 32-bit value of an [in] pointer that may be null.
struct OptionalInt {
  union {
    none @0 :Void;
    value @1 :Int32;
  }
}

struct OptionalFloat {
  union {
    none @0 :Void;
    value @1 :Float32;
  }
}

# The published class: a client makes its server objects here.
interface ClassObject {
  createInstance @0 (iid :Guid) -> (hr :Int32, server :OpcServer);
  lockServer @1 (lock :Bool) -> (hr :Int32);
}

interface OpcServer {
  queryInterface @0 (iid :Guid) -> (hr :Int32);
  # IOPCServer
  addGroup @1 (name :Text, active :Bool, requestedUpdateRate :UInt32, hClientGroup :UInt32,
               timeBias :OptionalInt, percentDeadband :OptionalFloat, lcid :UInt32, iid :Guid)
      -> (hr :Int32, hServerGroup :UInt32, revisedUpdateRate :UInt32, group :OpcGroup);
  getErrorString @2 (error :Int32, locale :UInt32) -> (hr :Int32, text :Text);
  getGroupByName @3 (name :Text, iid :Guid) -> (hr :Int32, group :OpcGroup);
  getStatus @4 () -> (hr :Int32, status :ServerStatus);
  removeGroup @5 (hServerGroup :UInt32, force :Bool) -> (hr :Int32);
  createGroupEnumerator @6 (scope :UInt32, iid :Guid) -> (hr :Int32);
  # IOPCBrowseServerAddressSpace
  queryOrganization @7 () -> (hr :Int32, nameSpaceType :UInt32);
  changeBrowsePosition @8 (direction :UInt32, name :Text, hasName :Bool) -> (hr :Int32);
  browseItemIds @9 (filterType :UInt32, criteria :Text, dataType :UInt16, accessRights :UInt32)
      -> (hr :Int32, names :EnumString);
  getItemId @10 (itemDataId :Text, hasItemDataId :Bool) -> (hr :Int32, itemId :Text);
  browseAccessPaths @11 (itemId :Text) -> (hr :Int32, names :EnumString);
}

interface OpcGroup {
  queryInterface @0 (iid :Guid) -> (hr :Int32);
  # IOPCGroupStateMgt
  getState @1 () -> (hr :Int32, updateRate :UInt32, active :Bool, name :Text, timeBias :Int32,
                     percentDeadband :Float32, lcid :UInt32, hClientGroup :UInt32, hServerGroup :UInt32);
  setState @2 (requestedUpdateRate :OptionalInt, active :OptionalInt, timeBias :OptionalInt,
               percentDeadband :OptionalFloat, lcid :OptionalInt, hClientGroup :OptionalInt)
      -> (hr :Int32, revisedUpdateRate :UInt32);
  setName @3 (name :Text, hasName :Bool) -> (hr :Int32);
  cloneGroup @4 (name :Text, iid :Guid) -> (hr :Int32, group :OpcGroup);
  # IOPCPublicGroupStateMgt
  getPublic @5 () -> (hr :Int32, public :Bool);
  moveToPublic @6 () -> (hr :Int32);
  # IOPCSyncIO
  read @7 (source :UInt32, handles :List(UInt32)) -> (hr :Int32, states :List(ItemState), errors :List(Int32));
  write @8 (handles :List(UInt32), values :List(Variant)) -> (hr :Int32, errors :List(Int32));
  # IOPCAsyncIO
  readAsync @9 (connection :UInt32, source :UInt32, handles :List(UInt32))
      -> (hr :Int32, transactionId :UInt32, errors :List(Int32));
  writeAsync @10 (connection :UInt32, handles :List(UInt32), values :List(Variant))
      -> (hr :Int32, transactionId :UInt32, errors :List(Int32));
  refresh @11 (connection :UInt32, source :UInt32) -> (hr :Int32, transactionId :UInt32);
  cancel @12 (transactionId :UInt32) -> (hr :Int32);
  # IOPCItemMgt
  addItems @13 (items :List(ItemDef)) -> (hr :Int32, results :List(ItemResult), errors :List(Int32));
  validateItems @14 (items :List(ItemDef), blobUpdate :Bool)
      -> (hr :Int32, results :List(ItemResult), errors :List(Int32));
  removeItems @15 (handles :List(UInt32)) -> (hr :Int32, errors :List(Int32));
  setActiveState @16 (handles :List(UInt32), active :Bool) -> (hr :Int32, errors :List(Int32));
  setClientHandles @17 (handles :List(UInt32), clientHandles :List(UInt32)) -> (hr :Int32, errors :List(Int32));
  setDatatypes @18 (handles :List(UInt32), types :List(UInt16)) -> (hr :Int32, errors :List(Int32));
  createEnumerator @19 (iid :Guid) -> (hr :Int32, items :EnumItemAttributes);
  # IDataObject
  getData @20 (format :FormatEtc) -> (hr :Int32, tymed :UInt32, bytes :Data);
  queryGetData @21 (format :FormatEtc) -> (hr :Int32);
  dAdvise @22 (format :FormatEtc, advf :UInt32, sink :AdviseSink) -> (hr :Int32, connection :UInt32);
  dUnadvise @23 (connection :UInt32) -> (hr :Int32);
}

interface EnumString {
  next @0 (count :UInt32) -> (hr :Int32, names :List(Text));
  skip @1 (count :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, names :EnumString);
}

interface EnumItemAttributes {
  next @0 (count :UInt32) -> (hr :Int32, items :List(ItemAttributes));
  skip @1 (count :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, items :EnumItemAttributes);
}

# The client's receiver of data changes and asynchronous completions.
interface AdviseSink {
  onDataChange @0 (format :FormatEtc, tymed :UInt32, bytes :Data) -> ();
}
