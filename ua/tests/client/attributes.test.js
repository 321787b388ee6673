'use strict';
// Reading and writing tags over OPC UA, judged against the DA side of the same
// running server (`vok opc read` goes through the OPC DA objects) and against
// the configuration the server serves: values, qualities and time stamps
// agree; the attributes say what the tag is; a write reaches the counter, and
// what cannot be written is refused with the status the OPC UA standard names.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');

const { AttributeIds, DataType, StatusCodes, resolveNodeId } = require('node-opcua');

const harness = require('./harness');

const skip = harness.skipReason();

// The DataType node of each DA canonical type a tag of this server has.
const dataTypeOfVt = {
    VT_BOOL: DataType.Boolean,
    VT_I2: DataType.Int16,
    VT_I4: DataType.Int32,
    VT_R4: DataType.Float,
    VT_R8: DataType.Double,
    VT_BSTR: DataType.String,
    VT_DATE: DataType.DateTime,
    VT_UI1: DataType.Byte,
    VT_UI2: DataType.UInt16,
    VT_UI4: DataType.UInt32,
};

// `vok opc read` prints the item's FILETIME (UTC) cut to the second,
// "MM/DD/YY hh:mm:ss".
function daTime(text) {
    const m = /^(\d\d)\/(\d\d)\/(\d\d) (\d\d):(\d\d):(\d\d)$/.exec(text);
    assert.ok(m, `a DA time stamp: ${JSON.stringify(text)}`);
    return new Date(Date.UTC(2000 + Number(m[3]), Number(m[1]) - 1, Number(m[2]), Number(m[4]), Number(m[5]), Number(m[6])));
}

const tagNode = (itemId) => `ns=1;s=${itemId}`;

async function readValue(session, itemId) {
    return session.read({ nodeId: tagNode(itemId), attributeId: AttributeIds.Value });
}

// A UA read and a DA read of the same item from the same poll of the counter:
// DA read between two UA reads that saw the same sample.
async function readBothWays(served, session, itemId) {
    for (let attempt = 0; attempt < 8; ++attempt) {
        const first = await readValue(session, itemId);
        const da = (await served.vok(['opc', 'read', itemId, '--timeout', '10'])).items[0];
        const second = await readValue(session, itemId);
        const stamp = (v) => (v.sourceTimestamp ? v.sourceTimestamp.getTime() : null);
        if (stamp(first) === stamp(second) && first.value.value === second.value.value) return { ua: first, da };
    }
    throw new Error(`${itemId} never stood still between two UA reads`);
}

function tagsOf(dump, deviceName) {
    const device = dump.devices.find((d) => d.name === deviceName);
    assert.ok(device, `${deviceName} in the configuration`);
    const tags = new Map();
    for (const t of device.tags) tags.set(`${device.name}.${t.name}`, t);
    const walkGroups = (groups, prefix) => {
        for (const g of groups) {
            for (const t of g.tags) tags.set(`${prefix}.${g.name}.${t.name}`, t);
            walkGroups(g.groups, `${prefix}.${g.name}`);
        }
    };
    walkGroups(device.groups, device.name);
    return tags;
}

describe('reading and writing tags', { skip }, () => {
    let served;
    let link;
    let device;
    let count;
    let interval;

    before(async () => {
        served = await harness.startServer([{ com: 'COM73', addresses: [1] }], { sampleInterval: 2 });
        [device] = served.devices;
        count = harness.countItem(device);
        interval = `${device}.Sample Interval`;
        // Writes are an operator's: anonymous sessions only read.
        link = await served.connectOperator();
    });

    after(async () => {
        if (link) await link.close().catch(() => {});
        if (served) await served.stop();
    });

    it('reads a count with the value, quality and source time stamp the DA side reads', async () => {
        const { ua, da } = await readBothWays(served, link.session, count);
        assert.equal(da.quality, 192, JSON.stringify(da));
        assert.equal(ua.statusCode.value, StatusCodes.Good.value, ua.statusCode.toString());
        assert.equal(ua.value.dataType, DataType.Int32);
        assert.equal(ua.value.value, da.value);
        assert.ok(ua.sourceTimestamp, 'a source time stamp');
        assert.equal(Math.floor(ua.sourceTimestamp.getTime() / 1000), daTime(da.timestamp).getTime() / 1000,
            `UA ${ua.sourceTimestamp.toISOString()} DA ${da.timestamp}`);
        assert.ok(ua.serverTimestamp, 'a server time stamp');
        assert.ok(Math.abs(ua.serverTimestamp.getTime() - Date.now()) < 5000);
        assert.ok(ua.sourceTimestamp.getTime() <= ua.serverTimestamp.getTime() + 1000);

        // The counts of a polling counter move on: a later read has a newer sample.
        const later = await harness.waitFor('a newer sample of the count', async () => {
            const v = await readValue(link.session, count);
            return v.sourceTimestamp && v.sourceTimestamp > ua.sourceTimestamp ? v : null;
        }, 15000, 250);
        assert.equal(later.statusCode.value, StatusCodes.Good.value);
    });

    it('describes each tag by its configuration: data type, access level, description, sampling rate', async () => {
        const dump = await served.vok(['config', 'dump', served.config]);
        const tags = tagsOf(dump, device);
        const da = (await served.vok(['opc', 'read', count, interval, `${device}.Software Version`, '--timeout', '10']))
            .items;
        const attributes = [
            AttributeIds.NodeClass,
            AttributeIds.DataType,
            AttributeIds.ValueRank,
            AttributeIds.AccessLevel,
            AttributeIds.UserAccessLevel,
            AttributeIds.Description,
            AttributeIds.MinimumSamplingInterval,
            AttributeIds.Value,
        ];
        for (const item of da) {
            const read = await link.session.read(attributes.map((attributeId) => ({ nodeId: tagNode(item.id), attributeId })));
            read.forEach((v, i) =>
                assert.equal(v.statusCode.value, StatusCodes.Good.value, `${item.id} attribute ${attributes[i]}: ${v.statusCode}`));
            const [nodeClass, dataType, valueRank, accessLevel, userAccessLevel, description, sampling, value] =
                read.map((v) => v.value.value);
            assert.equal(nodeClass, 2, `${item.id} is a Variable`);
            const expected = dataTypeOfVt[item.canonical_type];
            assert.ok(expected !== undefined, `a known canonical type ${item.canonical_type}`);
            assert.equal(dataType.toString(), resolveNodeId(`i=${expected}`).toString(), item.id);
            assert.equal(read[7].value.dataType, expected, `${item.id}: the value has the tag's data type`);
            assert.equal(valueRank, -1, item.id);
            assert.equal(accessLevel & 1, 1, `${item.id} is readable`);
            assert.equal((accessLevel & 2) === 2, item.writable, `${item.id} CurrentWrite vs DA writable`);
            assert.equal(userAccessLevel & 3, accessLevel & 3, item.id);
            assert.equal(description.text || '', tags.get(item.id).description, item.id);
            // A tag changes no faster than the DA server's fastest update rate.
            assert.equal(sampling, 50, item.id);
            if (item.canonical_type !== 'VT_I4') assert.deepEqual(value, item.value, item.id);
        }
    });

    it('answers Bad_NodeIdUnknown for nodes that are not there and Bad_AttributeIdInvalid for attributes a node has not', async () => {
        const unknown = [
            { nodeId: `ns=1;s=${device}.No Such Tag`, attributeId: AttributeIds.Value },
            { nodeId: 'ns=1;s=No Such Device.Sample Interval', attributeId: AttributeIds.Value },
            { nodeId: 'ns=1;i=4711', attributeId: AttributeIds.Value },
            { nodeId: 'ns=9;s=x', attributeId: AttributeIds.DisplayName },
            { nodeId: 'i=987654', attributeId: AttributeIds.BrowseName },
        ];
        const known = [
            { nodeId: tagNode(count), attributeId: 999 },
            // A device is a folder: it has no Value.
            { nodeId: `ns=1;s=${device}`, attributeId: AttributeIds.Value },
            { nodeId: 'i=85', attributeId: AttributeIds.Value },
        ];
        // One read holds them all together with a good one: each answers for itself.
        const results = await link.session.read([...unknown, ...known, { nodeId: tagNode(interval), attributeId: AttributeIds.Value }]);
        unknown.forEach((n, i) =>
            assert.equal(results[i].statusCode.value, StatusCodes.BadNodeIdUnknown.value, `${n.nodeId}: ${results[i].statusCode}`));
        known.forEach((n, i) => {
            const r = results[unknown.length + i];
            assert.equal(r.statusCode.value, StatusCodes.BadAttributeIdInvalid.value, `${n.nodeId}/${n.attributeId}: ${r.statusCode}`);
        });
        assert.equal(results.at(-1).statusCode.value, StatusCodes.Good.value);

        const written = await link.session.write({
            nodeId: `ns=1;s=${device}.No Such Tag`,
            attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.Double, value: 1 } },
        });
        assert.equal(written.value, StatusCodes.BadNodeIdUnknown.value, written.toString());
    });

    it('refuses a write to a count (Bad_NotWritable) and one of a string to the sample interval (Bad_TypeMismatch)', async () => {
        const before = await readValue(link.session, interval);
        assert.equal(before.value.dataType, DataType.Double);
        const results = await link.session.write([
            { nodeId: tagNode(count), attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Int32, value: 5 } } },
            { nodeId: tagNode(interval), attributeId: AttributeIds.Value, value: { value: { dataType: DataType.String, value: 'abc' } } },
            // A number in a string is still a string: the standard's Write does not convert.
            { nodeId: tagNode(interval), attributeId: AttributeIds.Value, value: { value: { dataType: DataType.String, value: '7' } } },
            // Only the Value of a tag is writable.
            { nodeId: tagNode(interval), attributeId: AttributeIds.DisplayName, value: { value: { dataType: DataType.LocalizedText, value: { text: 'x' } } } },
        ]);
        assert.equal(results[0].value, StatusCodes.BadNotWritable.value, results[0].toString());
        assert.equal(results[1].value, StatusCodes.BadTypeMismatch.value, results[1].toString());
        assert.equal(results[2].value, StatusCodes.BadTypeMismatch.value, results[2].toString());
        assert.equal(results[3].value, StatusCodes.BadNotWritable.value, results[3].toString());
        const after = await readValue(link.session, interval);
        assert.equal(after.value.value, before.value.value, 'a refused write changes nothing');
        assert.equal(after.statusCode.value, StatusCodes.Good.value);
    });

    it('writes the sample interval to the counter, which then reports it, and fails the write of a silent counter', async () => {
        const before = await readValue(link.session, interval);
        // 1 s when it was not already: the silent counter below is then noticed sooner.
        const wanted = before.value.value === 1 ? 2 : 1;
        // The counter's command for a sample interval: "L MMSS" and a line end.
        const command = Buffer.from(`L ${String(Math.floor(wanted / 60)).padStart(2, '0')}${String(wanted % 60).padStart(2, '0')}\r\n`,
            'latin1');
        const sent = () => {
            const bytes = served.simReceived('COM73');
            let n = 0;
            for (let at = bytes.indexOf(command); at >= 0; at = bytes.indexOf(command, at + 1)) ++n;
            return n;
        };
        const sentBefore = sent();
        const status = await link.session.write({
            nodeId: tagNode(interval),
            attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.Double, value: wanted } },
        });
        assert.equal(status.value, StatusCodes.Good.value, status.toString());
        // A good write is one the counter has been sent.
        assert.ok(sent() > sentBefore, `the simulator received ${JSON.stringify(command.toString('latin1'))}`);
        const ua = await harness.waitFor('the new interval read back', async () => {
            const v = await readValue(link.session, interval);
            return v.value.value === wanted ? v : null;
        }, 15000, 250);
        assert.equal(ua.statusCode.value, StatusCodes.Good.value);
        // The DA side, which reads what the counter reported, agrees.
        const da = (await served.vok(['opc', 'read', interval])).items[0];
        assert.equal(da.value, wanted);
        assert.equal(da.quality, 192);

        // A counter that does not answer cannot take a value: the write must
        // not be reported good, and the tag keeps the value it had.
        served.setFaults('COM73', '--silent 1');
        try {
            await harness.waitFor('the silent counter seen by the DA side', async () => {
                const item = (await served.vok(['opc', 'read', count, '--timeout', '0'])).items[0];
                return item.quality !== 192;
            }, 20000, 500);
            const refused = await link.session.write({
                nodeId: tagNode(interval),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.Double, value: wanted + 1 } },
            });
            assert.ok(refused.isBad(), `a write to a silent counter answered ${refused.toString()}`);
        } finally {
            await served.heal('COM73', [count]);
        }
        const back = await harness.waitFor('the counter answering again', async () => {
            const v = await readValue(link.session, interval);
            return v.statusCode.value === StatusCodes.Good.value ? v : null;
        }, 20000, 250);
        assert.equal(back.value.value, wanted, 'the failed write left the interval as it was');
        assert.ok(served.alive(), served.errors());
    });
});
