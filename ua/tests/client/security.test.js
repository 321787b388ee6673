'use strict';
// The OPC UA endpoint's security as an independent client meets it: an
// unknown client certificate is refused and kept for an administrator to
// trust, after which every offered policy serves; users sign in with their
// password and may do what their role allows; a message changed on its way is
// refused with the connection; an expired certificate is refused even when
// trusted; the None endpoint still serves local tools.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const {
    AttributeIds,
    DataType,
    MessageSecurityMode,
    OPCUACertificateManager,
    SecurityPolicy,
    StatusCodes,
    UserTokenType,
} = require('node-opcua');

const harness = require('./harness');

const skip = harness.skipReason();

const tagNode = (itemId) => `ns=1;s=${itemId}`;
const securePolicies = [
    SecurityPolicy.Basic256Sha256,
    SecurityPolicy.Aes128_Sha256_RsaOaep,
    SecurityPolicy.Aes256_Sha256_RsaPss,
];
const policyName = (uri) => uri.split('#')[1];

const operator = { userName: 'op', password: 'operator-secret-1' };
const viewer = { userName: 'watcher', password: 'viewer-secret-1' };

// Connects and opens a session (anonymous unless `user` names one).
const attempt = harness.connect;

// What `attempt` rejected with (throws when it did not reject).
async function refusal(endpointUrl, clientOptions, user = null) {
    let link;
    try {
        link = await attempt(endpointUrl, clientOptions, user);
    } catch (e) {
        return e;
    }
    await link.close().catch(() => {});
    assert.fail(`a session was opened with ${JSON.stringify({ ...clientOptions, clientCertificateManager: undefined, user })}`);
}

const secure = harness.secureOptions;

// The counter's command for a sample interval of `seconds`: "L MMSS" and a line end.
function intervalCommand(seconds) {
    const text = `L ${String(Math.floor(seconds / 60)).padStart(2, '0')}${String(seconds % 60).padStart(2, '0')}\r\n`;
    return Buffer.from(text, 'latin1');
}

function occurrences(bytes, pattern) {
    let n = 0;
    for (let at = bytes.indexOf(pattern); at >= 0; at = bytes.indexOf(pattern, at + 1)) ++n;
    return n;
}

// A TCP proxy between a client and the server that passes everything on and
// records what either side sent on each connection. Once armed it sends
// `change(chunk, previous)` in place of the next MSG chunk from the client
// (`previous`: the MSG chunk before it on that connection) and then takes no
// further connections, so that a client cannot reconnect around the changed
// message.
function recordingProxy(serverPort) {
    const proxy = {
        port: 0,
        armed: null,
        connections: [],
        closedForNew: false,
        arm(change) {
            this.armed = change;
        },
        // The Error messages the server sent on any connection: their codes.
        errorCodes() {
            return this.connections.flatMap((c) => chunks(c.fromServer).filter((m) => m.type === 'ERRF'))
                .map((m) => m.bytes.readUInt32LE(8));
        },
    };
    const listener = net.createServer((client) => {
        if (proxy.closedForNew) {
            client.destroy();
            return;
        }
        const upstream = net.connect({ host: '127.0.0.1', port: serverPort });
        const connection = {
            sockets: [client, upstream],
            fromServer: Buffer.alloc(0),
            fromClient: Buffer.alloc(0),
            previousMsg: null,
            tampered: false,
            afterTamper: Buffer.alloc(0),
            serverClosed: false,
        };
        proxy.connections.push(connection);
        let pending = Buffer.alloc(0);
        client.on('data', (data) => {
            connection.fromClient = Buffer.concat([connection.fromClient, data]);
            pending = Buffer.concat([pending, data]);
            while (pending.length >= 8) {
                const size = pending.readUInt32LE(4);
                if (size < 8) {
                    // No chunk: passed on as it is, for the server to judge.
                    upstream.write(pending);
                    pending = Buffer.alloc(0);
                    break;
                }
                if (pending.length < size) break;
                let chunk = Buffer.from(pending.subarray(0, size));
                pending = pending.subarray(size);
                if (chunk.toString('latin1', 0, 3) === 'MSG') {
                    const sent = chunk;
                    if (proxy.armed && connection.previousMsg) {
                        chunk = proxy.armed(chunk, connection.previousMsg);
                        connection.tampered = true;
                        proxy.armed = null;
                        proxy.closedForNew = true;
                    }
                    connection.previousMsg = sent;
                }
                upstream.write(chunk);
            }
        });
        upstream.on('data', (data) => {
            connection.fromServer = Buffer.concat([connection.fromServer, data]);
            if (connection.tampered) connection.afterTamper = Buffer.concat([connection.afterTamper, data]);
            client.write(data);
        });
        upstream.on('close', () => {
            connection.serverClosed = true;
            client.destroy();
        });
        client.on('close', () => upstream.destroy());
        client.on('error', () => {});
        upstream.on('error', () => {});
    });
    return new Promise((resolve) => {
        listener.listen(0, '127.0.0.1', () => {
            proxy.port = listener.address().port;
            proxy.url = `opc.tcp://127.0.0.1:${proxy.port}`;
            proxy.close = () => new Promise((done) => {
                for (const c of proxy.connections) for (const socket of c.sockets) socket.destroy();
                listener.close(() => done());
            });
            resolve(proxy);
        });
    });
}

// Ends a link whose connection may be gone: a session close that cannot be
// answered does not hold the test up.
async function closeQuietly(link) {
    await Promise.race([link.session.close().catch(() => {}), harness.sleep(1000)]);
    await link.client.disconnect().catch(() => {});
}

// The chunks of a UA TCP byte stream: [{type: 'MSGF', bytes}].
function chunks(bytes) {
    const out = [];
    let at = 0;
    while (at + 8 <= bytes.length) {
        const size = bytes.readUInt32LE(at + 4);
        if (size < 8 || at + size > bytes.length) break;
        out.push({ type: bytes.toString('latin1', at, at + 4), bytes: bytes.subarray(at, at + size) });
        at += size;
    }
    return out;
}

describe('security of the OPC UA endpoint', { skip }, () => {
    let served;
    let device;
    let interval;
    let clientDer;

    before(async () => {
        served = await harness.startServer([{ com: 'COM76', addresses: [1] }], { sampleInterval: 2 });
        [device] = served.devices;
        interval = `${device}.Sample Interval`;
        clientDer = await harness.clientCertificate(served.endpointUrl);
        await served.addUser(operator.userName, 'operator', operator.password);
        await served.addUser(viewer.userName, 'viewer', viewer.password);
    });

    after(async () => {
        if (served) await served.stop();
    });

    // The first test trusts the suite's certificate on its way; the others,
    // when they run without it (a name pattern), trust it here.
    async function trustClient() {
        if (!served.certificatesIn('trusted/certs').some((der) => der.equals(clientDer))) {
            await served.trustCertificate(clientDer);
        }
    }

    it('refuses an unknown client certificate, keeps it in rejected/, and serves every policy once it is trusted', async () => {
        const thumbprint = harness.thumbprint(clientDer);
        const has = (folder) => served.certificatesIn(folder).some((der) => der.equals(clientDer));
        assert.ok(!has('trusted/certs'), 'not trusted before anyone trusted it');

        for (const policy of securePolicies) {
            const proxy = await recordingProxy(served.port);
            try {
                await refusal(proxy.url, secure(policy));
                assert.deepEqual(proxy.errorCodes().slice(0, 1), [StatusCodes.BadCertificateUntrusted.value],
                    `${policyName(policy)}: the channel is refused with Bad_CertificateUntrusted`);
            } finally {
                await proxy.close();
            }
        }
        assert.ok(has('rejected/certs'), 'the refused certificate waits in rejected/certs');
        assert.ok(!has('trusted/certs'));
        const listed = await served.vok(['ua', 'certs', 'list'], { raw: true });
        assert.ok(listed.stdout.toUpperCase().includes(thumbprint), `vok ua certs list names ${thumbprint}: ${listed.stdout}`);
        assert.ok(served.alive(), served.errors());

        await served.vok(['ua', 'certs', 'trust', thumbprint], { raw: true });
        assert.ok(has('trusted/certs'), 'trusted/certs holds it');
        assert.ok(!has('rejected/certs'), 'moved out of rejected/certs');

        // Trusted at the next connection, without a restart, on every policy.
        for (const policy of securePolicies) {
            const link = await attempt(served.endpointUrl, secure(policy));
            try {
                const [state, value] = await link.session.read([
                    { nodeId: 'i=2259', attributeId: AttributeIds.Value },
                    { nodeId: tagNode(interval), attributeId: AttributeIds.Value },
                ]);
                assert.equal(state.statusCode.value, StatusCodes.Good.value, `${policyName(policy)}: ${state.statusCode}`);
                assert.equal(state.value.value, 0, 'Running');
                assert.equal(value.statusCode.value, StatusCodes.Good.value, `${policyName(policy)}: ${value.statusCode}`);
                assert.equal(value.value.dataType, DataType.Double);
                // A message of more than one chunk must come through whole:
                // a read of many nodes is larger than a chunk of 8 KiB.
                const many = await link.session.read(Array.from({ length: 400 }, () =>
                    ({ nodeId: tagNode(interval), attributeId: AttributeIds.Description })));
                assert.equal(many.length, 400);
                for (const v of many) assert.equal(v.statusCode.value, StatusCodes.Good.value, v.statusCode.toString());
            } finally {
                await link.close();
            }
        }
    });

    it('signs users in by password: the right one opens a session, a wrong one or an unknown name does not, ever slower', async () => {
        await trustClient();
        // The user list keeps no password and only the program's user reads it.
        const stat = fs.statSync(served.usersFile);
        assert.equal(stat.mode & 0o077, 0, `ua-users mode ${(stat.mode & 0o777).toString(8)}`);
        const text = fs.readFileSync(served.usersFile, 'utf8');
        assert.ok(!text.includes(operator.password) && !text.includes(viewer.password), 'no password in clear');
        assert.ok(text.includes(operator.userName) && text.includes(viewer.userName));

        const link = await attempt(served.endpointUrl, secure(), operator);
        await link.close();

        const started = Date.now();
        const wrong = await refusal(served.endpointUrl, secure(), { ...operator, password: 'not-the-password' });
        const firstMs = Date.now() - started;
        assert.match(wrong.message, /BadUserAccessDenied/);
        // The second failure from the same address is answered a second later.
        const again = Date.now();
        const unknown = await refusal(served.endpointUrl, secure(), { userName: 'nobody', password: operator.password });
        const secondMs = Date.now() - again;
        assert.match(unknown.message, /BadUserAccessDenied/);
        assert.ok(secondMs >= firstMs + 800, `the second failure took ${secondMs} ms, the first ${firstMs} ms`);

        // A user name on the None endpoint: its password never crosses in
        // clear, so the token policy must name an encrypting policy.
        const client = harness.makeClient();
        await client.connect(served.endpointUrl);
        let endpoints;
        try {
            endpoints = await client.getEndpoints();
        } finally {
            await client.disconnect();
        }
        for (const endpoint of endpoints.filter((e) => e.securityMode === MessageSecurityMode.None)) {
            for (const token of endpoint.userIdentityTokens.filter((t) => t.tokenType === UserTokenType.UserName)) {
                assert.ok(token.securityPolicyUri && token.securityPolicyUri !== SecurityPolicy.None,
                    `the None endpoint's user name token ${token.policyId} encrypts with ${token.securityPolicyUri}`);
            }
        }

        // An operator signs in on the None endpoint too, and the password
        // is nowhere in the bytes the client sent.
        const proxy = await recordingProxy(served.port);
        try {
            const plain = await attempt(proxy.url, {}, operator);
            try {
                const state = await plain.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
                assert.equal(state.value.value, 0);
            } finally {
                await plain.close();
            }
            const sent = Buffer.concat(proxy.connections.map((c) => c.fromClient));
            assert.ok(sent.includes(Buffer.from(operator.userName)), 'the recording holds the sign-in');
            assert.ok(!sent.includes(Buffer.from(operator.password)), 'the password crossed the None channel in clear');
        } finally {
            await proxy.close();
        }

        // The right password still works after the failures (and forgets them).
        const later = await attempt(served.endpointUrl, secure(SecurityPolicy.Aes128_Sha256_RsaOaep), viewer);
        await later.close();
    });

    it('lets an operator write the sample interval, and refuses the write of a viewer or an anonymous session', async () => {
        await trustClient();
        const received = () => served.simReceived('COM76');
        const writeInterval = (session, seconds) => session.write({
            nodeId: tagNode(interval),
            attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.Double, value: seconds } },
        });
        const accessLevels = async (session) => {
            const [access, userAccess] = await session.read([
                { nodeId: tagNode(interval), attributeId: AttributeIds.AccessLevel },
                { nodeId: tagNode(interval), attributeId: AttributeIds.UserAccessLevel },
            ]);
            assert.equal(access.statusCode.value, StatusCodes.Good.value);
            assert.equal(userAccess.statusCode.value, StatusCodes.Good.value);
            return { access: access.value.value, user: userAccess.value.value };
        };
        const start = (await (async () => {
            const link = await attempt(served.endpointUrl, secure());
            try {
                return await link.session.read({ nodeId: tagNode(interval), attributeId: AttributeIds.Value });
            } finally {
                await link.close();
            }
        })()).value.value;
        // A shorter interval: a longer one can be undone by the poll loop
        // while the counter confirms it, and its write then fails.
        const wanted = start === 1 ? 2 : 1;
        const command = intervalCommand(wanted);

        for (const [who, user] of [['anonymous', null], ['viewer', viewer]]) {
            const link = await attempt(served.endpointUrl, secure(), user);
            try {
                const levels = await accessLevels(link.session);
                assert.equal(levels.access & 0x03, 0x03, `${who}: the tag itself is readable and writable`);
                assert.equal(levels.user & 0x01, 0x01, `${who} may read`);
                assert.equal(levels.user & 0x02, 0, `${who} has no write bit: 0x${levels.user.toString(16)}`);
                const sentBefore = occurrences(received(), command);
                const status = await writeInterval(link.session, wanted);
                assert.equal(status.value, StatusCodes.BadUserAccessDenied.value, `${who}: ${status.toString()}`);
                const after = await link.session.read({ nodeId: tagNode(interval), attributeId: AttributeIds.Value });
                assert.equal(after.value.value, start, `${who}'s refused write changed nothing`);
                assert.equal(occurrences(received(), command), sentBefore, `${who}'s write never reached the counter`);
            } finally {
                await link.close();
            }
        }

        const link = await attempt(served.endpointUrl, secure(), operator);
        try {
            const levels = await accessLevels(link.session);
            assert.equal(levels.user & 0x03, 0x03, `the operator reads and writes: 0x${levels.user.toString(16)}`);
            const sentBefore = occurrences(received(), command);
            const status = await writeInterval(link.session, wanted);
            assert.equal(status.value, StatusCodes.Good.value, status.toString());
            assert.ok(occurrences(received(), command) > sentBefore,
                `the simulator received ${JSON.stringify(command.toString('latin1'))}`);
            const back = await harness.waitFor('the written interval read back', async () => {
                const v = await link.session.read({ nodeId: tagNode(interval), attributeId: AttributeIds.Value });
                return v.value.value === wanted ? v : null;
            }, 15000, 250);
            assert.equal(back.statusCode.value, StatusCodes.Good.value);
            // A count stays read-only for an operator too.
            const count = await link.session.write({
                nodeId: tagNode(harness.countItem(device)),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.Int32, value: 5 } },
            });
            assert.equal(count.value, StatusCodes.BadNotWritable.value, count.toString());
        } finally {
            await link.close();
        }
    });

    it('closes a signed and encrypted connection whose message was changed or replayed on the way, and serves others on', async () => {
        await trustClient();
        // A byte changed in the chunk after its plain header (type, size,
        // channel and token ids: 16 bytes): the first encrypted byte (the
        // sequence header), the middle of the body, the last byte (the
        // signature); and a chunk the client sent before, sent again whole
        // in place of the new one.
        const flip = (at) => (chunk) => {
            const changed = Buffer.from(chunk);
            changed[at(chunk)] ^= 0x5a;
            return changed;
        };
        const changes = {
            'sequence header': flip(() => 16),
            body: flip((chunk) => 16 + Math.floor((chunk.length - 16) / 2)),
            signature: flip((chunk) => chunk.length - 1),
            'replayed chunk': (chunk, previous) => previous,
        };
        // The code an Error message names: a replayed chunk is authentic, and
        // only its sequence number is wrong (Bad_SequenceNumberInvalid, as
        // OPC 10000-6 names that check).
        const expectedError = (where) => (where === 'replayed chunk'
            ? StatusCodes.BadSequenceNumberInvalid.value : StatusCodes.BadSecurityChecksFailed.value);
        for (const [where, change] of Object.entries(changes)) {
            const proxy = await recordingProxy(served.port);
            try {
                const link = await attempt(proxy.url, secure());
                try {
                    const good = await link.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
                    assert.equal(good.value.value, 0, `${where}: a read through the proxy before the change`);
                    proxy.arm(change);
                    const outcome = {};
                    link.session.read({ nodeId: tagNode(interval), attributeId: AttributeIds.Value })
                        .then((v) => { outcome.value = v; }, (e) => { outcome.error = e; });
                    // node-opcua fetched the endpoints on a connection of
                    // its own first: the changed chunk went on the secure one.
                    const connection = await harness.waitFor(`${where}: the proxy to change a MSG chunk`,
                        () => proxy.connections.find((c) => c.tampered), 5000, 20);
                    await harness.waitFor(`${where}: the server to close the connection`, () => connection.serverClosed, 5000, 20);
                    await harness.sleep(200);
                    assert.ok(!outcome.value, `${where}: a changed request was answered: ${outcome.value}`);
                    // Nothing but an Error message may come back after the
                    // change, and it names the failed check.
                    for (const c of chunks(connection.afterTamper)) {
                        assert.equal(c.type, 'ERRF', `${where}: the server answered a changed message with ${c.type}`);
                        assert.equal(c.bytes.readUInt32LE(8), expectedError(where),
                            `${where}: 0x${c.bytes.readUInt32LE(8).toString(16)}`);
                    }
                } finally {
                    await closeQuietly(link);
                }
            } finally {
                await proxy.close();
            }
            assert.ok(served.alive(), served.errors());
        }
        // The server goes on serving an honest client.
        const link = await attempt(served.endpointUrl, secure(SecurityPolicy.Aes256_Sha256_RsaPss));
        try {
            const state = await link.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
            assert.equal(state.value.value, 0);
        } finally {
            await link.close();
        }
    });

    it('refuses a trusted certificate outside its validity, and takes one made the same way that is valid', async () => {
        const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vok-ua-expired-'));
        try {
            const manager = new OPCUACertificateManager({ rootFolder: root, automaticallyAcceptUnknownCertificate: true });
            await manager.initialize();
            const applicationUri = `urn:${os.hostname()}:VOK UA suite dated client`;
            const day = 24 * 3600 * 1000;
            const make = async (name, startDate, validity) => {
                const outputFile = path.join(root, `${name}.pem`);
                await manager.createSelfSignedCertificate({
                    subject: `/CN=VOK suite ${name}/O=VOK tests`,
                    applicationUri,
                    dns: [os.hostname()],
                    startDate,
                    validity,
                    outputFile,
                });
                return outputFile;
            };
            const expired = await make('expired', new Date(Date.now() - 40 * day), 10);
            const future = await make('future', new Date(Date.now() + 10 * day), 30);
            const valid = await make('valid', new Date(Date.now() - day), 30);
            const key = path.join(root, 'own', 'private', 'private_key.pem');
            assert.ok(fs.existsSync(key), `node-opcua's key at ${key}`);
            const options = (certificateFile) => secure(SecurityPolicy.Basic256Sha256, {
                applicationUri,
                applicationName: 'VOK UA suite dated client',
                clientCertificateManager: manager,
                certificateFile,
                privateKeyFile: key,
            });
            // Trusted from the PEM file, as an administrator would.
            for (const file of [expired, future, valid]) await served.vok(['ua', 'certs', 'trust', file], { raw: true });

            // The server, not the client, refuses them: it answers the
            // channel with Bad_CertificateTimeInvalid.
            for (const [name, file] of [['expired', expired], ['not yet valid', future]]) {
                const proxy = await recordingProxy(served.port);
                try {
                    await refusal(proxy.url, options(file));
                    assert.deepEqual(proxy.errorCodes().slice(0, 1), [StatusCodes.BadCertificateTimeInvalid.value], name);
                } finally {
                    await proxy.close();
                }
            }
            const link = await attempt(served.endpointUrl, options(valid));
            try {
                const state = await link.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
                assert.equal(state.value.value, 0);
            } finally {
                await link.close();
            }
        } finally {
            fs.rmSync(root, { recursive: true, force: true });
        }
    });

    it('serves local tools anonymously on the None endpoint and lists the secure endpoints with its certificate', async () => {
        await trustClient();
        const link = await attempt(served.endpointUrl, {});
        let endpoints;
        try {
            const state = await link.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
            assert.equal(state.statusCode.value, StatusCodes.Good.value);
            assert.equal(state.value.value, 0);
            endpoints = await link.client.getEndpoints();
        } finally {
            await link.close();
        }
        const own = served.certificatesIn('own/certs');
        assert.equal(own.length, 1, 'one own certificate');
        const summary = endpoints.map((e) => `${policyName(e.securityPolicyUri)}/${MessageSecurityMode[e.securityMode]}`);
        const none = endpoints.filter((e) => e.securityPolicyUri === SecurityPolicy.None);
        assert.equal(none.length, 1, summary.join(', '));
        assert.equal(none[0].securityMode, MessageSecurityMode.None);
        for (const policy of securePolicies) {
            const offered = endpoints.filter((e) => e.securityPolicyUri === policy);
            assert.equal(offered.length, 1, `${policyName(policy)} once: ${summary.join(', ')}`);
            const [endpoint] = offered;
            // Sign-only endpoints only when a setting asks for them.
            assert.equal(endpoint.securityMode, MessageSecurityMode.SignAndEncrypt, summary.join(', '));
            assert.ok(Buffer.from(endpoint.serverCertificate).equals(own[0]),
                `${policyName(policy)}: the endpoint's certificate is the one in own/certs`);
            assert.ok(endpoint.securityLevel > none[0].securityLevel, `${policyName(policy)} ranks above None`);
            const tokens = endpoint.userIdentityTokens.map((t) => t.tokenType);
            assert.ok(tokens.includes(UserTokenType.Anonymous), JSON.stringify(tokens));
            assert.ok(tokens.includes(UserTokenType.UserName), JSON.stringify(tokens));
        }
        assert.equal(endpoints.length, 1 + securePolicies.length, summary.join(', '));

        // The certificate names this server.
        const certificate = new crypto.X509Certificate(own[0]);
        assert.ok(certificate.subjectAltName.includes(`URI:urn:${os.hostname()}:VOKExplorer`), certificate.subjectAltName);
        assert.ok(new Date(certificate.validTo) > new Date(), certificate.validTo);
        assert.equal(certificate.publicKey.asymmetricKeyDetails.modulusLength >= 2048, true);
        // Its key is the program's user's alone.
        for (const name of fs.readdirSync(path.join(served.pki, 'own', 'private'))) {
            const mode = fs.statSync(path.join(served.pki, 'own', 'private', name)).mode;
            assert.equal(mode & 0o077, 0, `${name} mode ${(mode & 0o777).toString(8)}`);
        }
    });
});

describe('an endpoint without anonymous sessions and without None', { skip }, () => {
    let served;
    let clientDer;

    before(async () => {
        served = await harness.startServer([{ com: 'COM77', addresses: [1] }], {
            sampleInterval: 0,
            explorerArgs: ['--ua-anonymous', 'off', '--ua-none', 'off'],
        });
        await served.addUser(operator.userName, 'operator', operator.password);
    });

    after(async () => {
        if (served) await served.stop();
    });

    it('offers no None endpoint and no anonymous token, refuses such sessions, and signs in a user', async () => {
        // The suite's certificate, made by a server that serves None (the
        // other test files' or this file's first), or made here when this
        // test runs alone: node-opcua makes it on its first connection,
        // whatever that connection's fate.
        const probe = harness.makeClient(secure());
        await probe.connect(served.endpointUrl).catch(() => {});
        clientDer = Buffer.from(probe.getCertificate());
        await probe.disconnect().catch(() => {});
        await served.trustCertificate(clientDer);

        const client = harness.makeClient(secure());
        await client.connect(served.endpointUrl);
        let endpoints;
        try {
            endpoints = await client.getEndpoints();
        } finally {
            await client.disconnect();
        }
        const summary = endpoints.map((e) => `${policyName(e.securityPolicyUri)}/${MessageSecurityMode[e.securityMode]}`);
        assert.ok(endpoints.length >= securePolicies.length, summary.join(', '));
        for (const endpoint of endpoints) {
            assert.notEqual(endpoint.securityPolicyUri, SecurityPolicy.None, summary.join(', '));
            assert.notEqual(endpoint.securityMode, MessageSecurityMode.None, summary.join(', '));
            const tokens = endpoint.userIdentityTokens.map((t) => t.tokenType);
            assert.ok(!tokens.includes(UserTokenType.Anonymous), `${policyName(endpoint.securityPolicyUri)}: ${tokens}`);
        }

        // node-opcua finds no anonymous token policy in these endpoints and
        // refuses before it asks; were one offered, the server would be asked
        // and must refuse with Bad_IdentityTokenRejected.
        const anonymous = await refusal(served.endpointUrl, secure());
        assert.match(anonymous.message, /BadIdentityTokenRejected|ANONYMOUS user token policy/);
        await refusal(served.endpointUrl, {});
        await refusal(served.endpointUrl, {}, operator);

        const link = await attempt(served.endpointUrl, secure(SecurityPolicy.Aes128_Sha256_RsaOaep), operator);
        try {
            const state = await link.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
            assert.equal(state.value.value, 0);
        } finally {
            await link.close();
        }
        assert.ok(served.alive(), served.errors());
    });
});
