'use strict';
// The OPC UA part of the demo (scripts/run.sh): a node-opcua client, which
// nobody here wrote, connects to the running vok-explorer, browses from
// Objects to the counters, reads a count with its status and time stamp,
// subscribes to it for a few changes and writes a counter's sample interval:
// refused to the anonymous session (a viewer), taken from an operator who
// signs in with the password of VOK_UA_USER / VOK_UA_PASSWORD (the password
// encrypted with the server's certificate, as the None endpoint asks).
// Usage: [VOK_UA_USER=NAME VOK_UA_PASSWORD=...] node demo.js ENDPOINT_URL DEVICE [CHANGES]
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {
    OPCUAClient,
    OPCUACertificateManager,
    AttributeIds,
    BrowseDirection,
    ClientSubscription,
    ClientMonitoredItem,
    DataType,
    TimestampsToReturn,
    UserTokenType,
} = require('node-opcua');

async function main() {
    const [url, device, changesText] = process.argv.slice(2);
    const changes = Number(changesText || 3);
    // node-opcua's own client certificate goes to a folder of the demo's, not ~/.config.
    const pki = fs.mkdtempSync(path.join(os.tmpdir(), 'vok-ua-demo-'));
    const client = OPCUAClient.create({
        endpointMustExist: false,
        connectionStrategy: { maxRetry: 1 },
        clientCertificateManager: new OPCUACertificateManager({ rootFolder: pki }),
    });
    try {
        await client.connect(url);
        const endpoints = await client.getEndpoints();
        console.log(`  ${url}: ${endpoints.length} endpoint(s), security ${endpoints.map((e) => e.securityPolicyUri.split('#')[1]).join(', ')}`);
        const session = await client.createSession();
        const objects = await session.browse({ nodeId: 'i=85', browseDirection: BrowseDirection.Forward, resultMask: 63 });
        const devices = objects.references.filter((r) => r.nodeId.namespace === 1);
        console.log(`  under Objects: ${devices.map((r) => r.browseName.name).join(', ')}`);
        const groups = await session.browse(`ns=1;s=${device}`);
        console.log(`  ${device} holds ${groups.references.length} nodes, e.g. ${groups.references.slice(0, 3).map((r) => r.browseName.name).join(', ')}`);

        const count = `ns=1;s=${device}.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01`;
        const read = await session.read({ nodeId: count, attributeId: AttributeIds.Value });
        console.log(`  read ${count}: ${read.value.value} (${read.statusCode.name}, sampled ${read.sourceTimestamp.toISOString()})`);

        const subscription = ClientSubscription.create(session, {
            requestedPublishingInterval: 500,
            requestedMaxKeepAliveCount: 20,
            requestedLifetimeCount: 100,
            publishingEnabled: true,
        });
        const item = ClientMonitoredItem.create(subscription, { nodeId: count, attributeId: AttributeIds.Value },
            { samplingInterval: 250, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
        console.log(`  subscribed to that count; ${changes} notifications:`);
        await new Promise((resolve) => {
            let seen = 0;
            item.on('changed', (value) => {
                console.log(`    ${value.value.value} (${value.statusCode.name}) at ${value.sourceTimestamp.toISOString()}`);
                if (++seen >= changes) resolve();
            });
        });
        await subscription.terminate();

        const interval = `ns=1;s=${device}.Sample Interval`;
        const writeInterval = (as, value) => as.write({ nodeId: interval, attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.Double, value } } });
        console.log(`  anonymous (a viewer) writes 15 to ${interval}: ${(await writeInterval(session, 15)).name}`);
        const userName = process.env.VOK_UA_USER;
        if (userName) {
            const operator = await client.createSession({ type: UserTokenType.UserName, userName,
                password: process.env.VOK_UA_PASSWORD || '' });
            try {
                console.log(`  ${userName} (an operator) writes 15 to it: ${(await writeInterval(operator, 15)).name}`);
                const text = await operator.write({ nodeId: interval, attributeId: AttributeIds.Value,
                    value: { value: { dataType: DataType.String, value: 'abc' } } });
                console.log(`  ${userName} writes "abc" to it: ${text.name}`);
            } finally {
                await operator.close();
            }
        }
        await session.close();
    } finally {
        await client.disconnect();
        fs.rmSync(pki, { recursive: true, force: true });
    }
}

main().catch((error) => {
    console.error(`ua demo: ${error.message}`);
    process.exit(1);
});
