'use strict';
// What a client learns of the server before it touches a tag: the endpoint
// GetEndpoints offers, and the Server object every client reads on connect
// (status with a clock that runs, namespaces, operation limits).
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');

const {
    AttributeIds,
    DataType,
    MessageSecurityMode,
    StatusCodes,
    UserTokenType,
    VariableIds,
    ApplicationType,
} = require('node-opcua');

const harness = require('./harness');

const skip = harness.skipReason();

describe('the endpoint and the Server object', { skip }, () => {
    let served;
    let link;

    before(async () => {
        served = await harness.startServer([{ com: 'COM71', addresses: [1] }], { sampleInterval: 0 });
        link = await harness.connect(served.endpointUrl);
    });

    after(async () => {
        if (link) await link.close().catch(() => {});
        if (served) await served.stop();
    });

    it('offers one None endpoint (to loopback clients): mode None, anonymous users, at our address', async () => {
        const client = harness.makeClient();
        await client.connect(served.endpointUrl);
        let endpoints;
        try {
            endpoints = await client.getEndpoints();
        } finally {
            await client.disconnect();
        }
        // The signed and encrypted endpoints beside it are the security
        // suite's (security.test.js).
        const none = endpoints.filter((e) => e.securityPolicyUri.endsWith('#None'));
        assert.equal(none.length, 1, JSON.stringify(endpoints.map((e) => [e.endpointUrl, e.securityPolicyUri])));
        const [endpoint] = none;
        assert.equal(endpoint.securityPolicyUri, 'http://opcfoundation.org/UA/SecurityPolicy#None');
        assert.equal(endpoint.securityMode, MessageSecurityMode.None);
        assert.equal(endpoint.transportProfileUri, 'http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary');
        const anonymous = endpoint.userIdentityTokens.filter((t) => t.tokenType === UserTokenType.Anonymous);
        assert.equal(anonymous.length, 1, 'exactly one anonymous token policy');
        assert.ok(anonymous[0].policyId, 'the anonymous token policy has an id a client can name');

        // The URL names this server's port; the host is the one asked for or
        // the machine's name.
        const url = new URL(endpoint.endpointUrl.replace(/^opc\.tcp:/, 'http:'));
        assert.ok(endpoint.endpointUrl.startsWith('opc.tcp://'), endpoint.endpointUrl);
        assert.equal(Number(url.port), served.port, endpoint.endpointUrl);
        assert.ok(['127.0.0.1', os.hostname().toLowerCase(), 'localhost'].includes(url.hostname.toLowerCase()),
            endpoint.endpointUrl);

        for (const e of endpoints) {
            assert.equal(e.endpointUrl, endpoint.endpointUrl, 'every endpoint at the same URL');
            assert.equal(e.server.applicationUri, `urn:${os.hostname()}:VOKExplorer`);
            assert.equal(e.server.applicationType, ApplicationType.Server);
        }
    });

    it('reports the state Running and a current time that advances past the start time', async () => {
        const { session } = link;
        const state = await session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
        assert.equal(state.statusCode.value, StatusCodes.Good.value, state.statusCode.toString());
        assert.equal(state.value.value, 0, 'ServerState Running');

        const read = () =>
            session.read([
                { nodeId: 'i=2257', attributeId: AttributeIds.Value },
                { nodeId: 'i=2258', attributeId: AttributeIds.Value },
            ]);
        const [start, first] = await read();
        await harness.sleep(1100);
        const [startAgain, second] = await read();
        for (const v of [start, first, startAgain, second]) {
            assert.equal(v.statusCode.value, StatusCodes.Good.value, v.statusCode.toString());
            assert.equal(v.value.dataType, DataType.DateTime);
        }
        const t0 = first.value.value.getTime();
        const t1 = second.value.value.getTime();
        assert.ok(t1 - t0 >= 1000, `CurrentTime advanced ${t1 - t0} ms over 1.1 s`);
        assert.ok(t1 - t0 < 5000, `CurrentTime advanced ${t1 - t0} ms over 1.1 s`);
        // The server's clock is this machine's clock.
        assert.ok(Math.abs(t1 - Date.now()) < 5000, `CurrentTime ${second.value.value.toISOString()}`);
        const started = start.value.value.getTime();
        assert.equal(startAgain.value.value.getTime(), started, 'the start time stays put');
        assert.ok(started <= t0, 'started before the first CurrentTime');
        assert.ok(Date.now() - started < 120000, `StartTime ${start.value.value.toISOString()} is this run's`);

        // The whole ServerStatus structure agrees with its parts.
        const status = await session.read({ nodeId: 'i=2256', attributeId: AttributeIds.Value });
        assert.equal(status.statusCode.value, StatusCodes.Good.value, status.statusCode.toString());
        assert.equal(status.value.dataType, DataType.ExtensionObject);
        assert.equal(status.value.value.state, 0);
        assert.equal(status.value.value.startTime.getTime(), started);
    });

    it('names namespace 0 and, at index 1, this server as urn:<host>:VOKExplorer', async () => {
        const { session } = link;
        const value = await session.read({ nodeId: 'i=2255', attributeId: AttributeIds.Value });
        assert.equal(value.statusCode.value, StatusCodes.Good.value);
        assert.equal(value.value.dataType, DataType.String);
        const namespaces = Array.from(value.value.value);
        assert.ok(namespaces.length >= 2, JSON.stringify(namespaces));
        assert.equal(namespaces[0], 'http://opcfoundation.org/UA/');
        assert.equal(namespaces[1], `urn:${os.hostname()}:VOKExplorer`);
    });

    it('has readable operation limits that a client can plan its batches with', async () => {
        const { session } = link;
        // The limits a client splits its calls by must be there; the other
        // children of OperationLimits are optional, but typed when present.
        const limit = (name) => VariableIds[`Server_ServerCapabilities_OperationLimits_${name}`];
        const required = ['MaxNodesPerRead', 'MaxNodesPerBrowse'];
        const optional = ['MaxNodesPerWrite', 'MaxNodesPerTranslateBrowsePathsToNodeIds', 'MaxMonitoredItemsPerCall',
            'MaxNodesPerRegisterNodes'];
        const names = [...required, ...optional];
        const values = await session.read(names.map((n) => ({ nodeId: `i=${limit(n)}`, attributeId: AttributeIds.Value })));
        values.forEach((v, i) => {
            if (i >= required.length && v.statusCode.value === StatusCodes.BadNodeIdUnknown.value) return;
            assert.equal(v.statusCode.value, StatusCodes.Good.value, `${names[i]}: ${v.statusCode.toString()}`);
            assert.equal(v.value.dataType, DataType.UInt32, names[i]);
        });
        // The folder itself is there to browse.
        const browsed = await session.browse('i=11704');
        assert.equal(browsed.statusCode.value, StatusCodes.Good.value);
        const children = browsed.references.map((r) => r.browseName.name);
        for (const n of required) assert.ok(children.includes(n), JSON.stringify(children));

        // A read of more nodes than MaxNodesPerRead (when it is set) is refused
        // as a whole, and the session lives on.
        const maxRead = values[0].value.value;
        if (maxRead > 0 && maxRead < 100000) {
            const many = Array.from({ length: maxRead + 1 }, () => ({ nodeId: 'i=2259', attributeId: AttributeIds.Value }));
            await assert.rejects(session.read(many), /BadTooManyOperations/);
            const again = await session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
            assert.equal(again.statusCode.value, StatusCodes.Good.value);
        }
    });
});
