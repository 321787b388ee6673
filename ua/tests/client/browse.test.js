'use strict';
// The configuration as an OPC UA client finds it: from Objects down to every
// tag, devices and tag groups as folders, tags as variables whose NodeIds are
// the OPC DA item IDs, the same tags the DA browse of the same server lists;
// paths of browse names translated to those nodes; and the browse of a node
// one reference at a time through continuation points.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');

const { AttributeIds, BrowseDirection, NodeClass, StatusCodes, resolveNodeId } = require('node-opcua');

const harness = require('./harness');

const skip = harness.skipReason();

const Organizes = 'ns=0;i=35';
const HasComponent = 'ns=0;i=47';
const HasProperty = 'ns=0;i=46';
const BaseObjectType = 'ns=0;i=58';
const FolderType = 'ns=0;i=61';

// One browse that follows continuation points to the end.
async function browseWhole(session, description) {
    const first = await session.browse(description);
    assert.equal(first.statusCode.value, StatusCodes.Good.value, `browse ${description.nodeId}: ${first.statusCode}`);
    const references = [...first.references];
    let point = first.continuationPoint;
    for (let rounds = 0; point && point.length > 0; ++rounds) {
        assert.ok(rounds < 10000, 'continuation points never end');
        const next = await session.browseNext(point, false);
        assert.equal(next.statusCode.value, StatusCodes.Good.value, `browseNext: ${next.statusCode}`);
        references.push(...next.references);
        point = next.continuationPoint;
    }
    return references;
}

function hierarchical(nodeId) {
    return {
        nodeId,
        referenceTypeId: 'HierarchicalReferences',
        browseDirection: BrowseDirection.Forward,
        includeSubtypes: true,
        nodeClassMask: 0,
        resultMask: 0x3f,
    };
}

// Walks the configuration's nodes of the address space from Objects and
// returns its folders and tags, each with the path of browse names to it.
async function walk(session) {
    const folders = [];
    const tags = [];
    const queue = [{ nodeId: 'i=85', path: [] }];
    while (queue.length > 0) {
        const { nodeId, path } = queue.shift();
        const references = await browseWhole(session, hierarchical(nodeId));
        for (const r of references) {
            const target = r.nodeId;
            // Namespace 0 (the Server object) is not the configuration.
            if (target.namespace !== 1) continue;
            const entry = {
                nodeId: target,
                referenceTypeId: r.referenceTypeId.toString(),
                nodeClass: r.nodeClass,
                browseName: r.browseName,
                displayName: r.displayName.text,
                typeDefinition: r.typeDefinition.toString(),
                path: [...path, r.browseName],
                parent: nodeId,
            };
            if (r.nodeClass === NodeClass.Object) {
                folders.push(entry);
                queue.push({ nodeId: target.toString(), path: entry.path });
            } else if (r.nodeClass === NodeClass.Variable && entry.referenceTypeId !== HasProperty) {
                tags.push(entry);
            }
        }
    }
    return { folders, tags };
}

describe('browsing the configuration', { skip }, () => {
    let served;
    let link;
    let daDevices;
    let daItems;
    let tree;

    before(async () => {
        served = await harness.startServer([{ com: 'COM72', addresses: [1, 2] }], { sampleInterval: 0 });
        link = await harness.connect(served.endpointUrl);
        // The DA browse of the same running server is the truth of which
        // devices and tags there are.
        daDevices = (await served.vok(['opc', 'browse'])).branches;
        daItems = (await served.vok(['opc', 'browse', '--all'])).items;
        tree = await walk(link.session);
    });

    after(async () => {
        if (link) await link.close().catch(() => {});
        if (served) await served.stop();
    });

    it('shows each device under Objects by its name, as an object reached by Organizes', async () => {
        assert.equal(daDevices.length, 2, JSON.stringify(daDevices));
        const devices = tree.folders.filter((f) => f.parent === 'i=85');
        assert.deepEqual(devices.map((d) => d.browseName.name).sort(), [...daDevices].sort());
        for (const d of devices) {
            assert.equal(d.referenceTypeId, Organizes, d.browseName.name);
            // A device may be a plain object with its tags as components or a
            // folder; either way its type is one of the standard object types.
            assert.ok([BaseObjectType, FolderType].includes(d.typeDefinition), `${d.browseName.name}: ${d.typeDefinition}`);
            const type = await link.session.read({ nodeId: d.typeDefinition, attributeId: AttributeIds.NodeClass });
            assert.equal(type.value.value, NodeClass.ObjectType, d.typeDefinition);
            assert.equal(d.displayName, d.browseName.name);
            assert.equal(d.browseName.namespaceIndex, 1, d.browseName.name);
        }
    });

    it('shows tag groups as folders (Organizes) and every DA item as a variable (HasComponent) ns=1;s=<item id>', () => {
        // Below the devices, every object is a tag group: a folder.
        for (const f of tree.folders.filter((g) => g.path.length >= 2)) {
            assert.equal(f.referenceTypeId, Organizes, f.path.map((p) => p.name).join('.'));
            assert.equal(f.typeDefinition, FolderType, f.path.map((p) => p.name).join('.'));
        }
        const groups = tree.folders.filter((f) => f.path.length === 2).map((f) => f.path[1].name);
        assert.ok(groups.includes('Cumulative Raw Bin Counts'), JSON.stringify(groups));

        const seen = new Map();
        for (const t of tree.tags) {
            const itemId = t.path.map((p) => p.name).join('.');
            assert.equal(t.referenceTypeId, HasComponent, itemId);
            // The NodeId is the item ID, and the browse names spell it.
            assert.equal(t.nodeId.toString(), `ns=1;s=${itemId}`);
            assert.equal(t.displayName, t.browseName.name, itemId);
            assert.ok(!seen.has(itemId), `${itemId} is listed twice`);
            seen.set(itemId, t);
        }
        assert.deepEqual([...seen.keys()].sort(), [...daItems].sort());

        // The counts of both counters are there under their full item IDs.
        for (const device of daDevices) {
            const bin = `${device}.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01`;
            assert.ok(seen.has(bin), `${bin} is browsed`);
        }
    });

    it('translates a path of browse names from Objects to the tag node, and a wrong path to no node', async () => {
        const { session } = link;
        const tag = tree.tags.find((t) => t.path.length === 3);
        assert.ok(tag, 'a tag inside a group');
        const request = (names) => ({
            startingNode: resolveNodeId('i=85'),
            relativePath: {
                elements: names.map((n) => ({
                    referenceTypeId: resolveNodeId('HierarchicalReferences'),
                    isInverse: false,
                    includeSubtypes: true,
                    targetName: n,
                })),
            },
        });
        const found = await session.translateBrowsePath(request(tag.path));
        assert.equal(found.statusCode.value, StatusCodes.Good.value, found.statusCode.toString());
        assert.equal(found.targets.length, 1);
        assert.equal(found.targets[0].targetId.toString(), tag.nodeId.toString());

        // A device folder on its own.
        const device = await session.translateBrowsePath(request(tag.path.slice(0, 1)));
        assert.equal(device.statusCode.value, StatusCodes.Good.value);
        const folder = tree.folders.find((f) => f.path.length === 1 && f.path[0].name === tag.path[0].name);
        assert.equal(device.targets.length, 1);
        assert.equal(device.targets[0].targetId.toString(), folder.nodeId.toString());

        // A last name that is not there: BadNoMatch, no targets.
        const wrong = [...tag.path.slice(0, 2), { namespaceIndex: tag.path[2].namespaceIndex, name: 'No Such Tag' }];
        const none = await session.translateBrowsePath(request(wrong));
        assert.equal(none.statusCode.value, StatusCodes.BadNoMatch.value, none.statusCode.toString());
        assert.equal((none.targets || []).length, 0);
    });

    it('walks every reference of a node one at a time with BrowseNext', async () => {
        const { session } = link;
        const device = tree.folders.find((f) => f.parent === 'i=85');
        const description = hierarchical(device.nodeId.toString());
        const whole = await browseWhole(session, description);
        assert.ok(whole.length >= 2, `${whole.length} references`);

        session.requestedMaxReferencesPerNode = 1;
        try {
            const first = await session.browse(description);
            assert.equal(first.statusCode.value, StatusCodes.Good.value);
            assert.equal(first.references.length, 1);
            assert.ok(first.continuationPoint && first.continuationPoint.length > 0, 'a continuation point');
            const oneByOne = [...first.references];
            let point = first.continuationPoint;
            while (point && point.length > 0) {
                const next = await session.browseNext(point, false);
                assert.equal(next.statusCode.value, StatusCodes.Good.value, next.statusCode.toString());
                assert.ok(next.references.length <= 1, `${next.references.length} references in one step`);
                oneByOne.push(...next.references);
                point = next.continuationPoint;
                assert.ok(oneByOne.length <= whole.length, 'more references than the node has');
            }
            const key = (r) => `${r.referenceTypeId}|${r.nodeId}`;
            assert.deepEqual(oneByOne.map(key).sort(), whole.map(key).sort());

            // A released continuation point is gone: using it again is refused.
            const again = await session.browse(description);
            const released = await session.browseNext(again.continuationPoint, true);
            assert.equal(released.statusCode.value, StatusCodes.Good.value);
            const stale = await session.browseNext(again.continuationPoint, false);
            assert.equal(stale.statusCode.value, StatusCodes.BadContinuationPointInvalid.value, stale.statusCode.toString());
        } finally {
            session.requestedMaxReferencesPerNode = 0;
        }
    });
});
