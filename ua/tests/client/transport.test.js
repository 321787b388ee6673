'use strict';
// What reaches the OPC UA port from a careless or hostile peer, sent on raw
// TCP sockets: bytes that are no message, a Hello that lies about its size or
// stops half-way, an OpenSecureChannel that stops half-way; and a client
// killed with its session and subscription open. The server answers with an
// Error message or closes the connection, never waits on it for other
// clients, and goes on serving a normal client.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const net = require('node:net');
const { spawn } = require('node:child_process');

const { AttributeIds, StatusCodes } = require('node-opcua');

const harness = require('./harness');

const skip = harness.skipReason();

function hello(endpointUrl, { receiveBufferSize = 65536, sendBufferSize = 65536, size } = {}) {
    const url = Buffer.from(endpointUrl, 'utf8');
    const message = Buffer.alloc(32 + url.length);
    message.write('HELF', 0, 'latin1');
    message.writeUInt32LE(size ?? message.length, 4);
    message.writeUInt32LE(0, 8); // protocol version
    message.writeUInt32LE(receiveBufferSize, 12);
    message.writeUInt32LE(sendBufferSize, 16);
    message.writeUInt32LE(0, 20); // max message size: no limit
    message.writeUInt32LE(0, 24); // max chunk count: no limit
    message.writeInt32LE(url.length, 28);
    url.copy(message, 32);
    return message;
}

// The start of an OpenSecureChannel request: header, channel id 0 and the
// security policy URI of None, announced at `size` bytes.
function openStart(size) {
    const policy = Buffer.from('http://opcfoundation.org/UA/SecurityPolicy#None', 'utf8');
    const message = Buffer.alloc(16 + policy.length);
    message.write('OPNF', 0, 'latin1');
    message.writeUInt32LE(size, 4);
    message.writeUInt32LE(0, 8);
    message.writeInt32LE(policy.length, 12);
    policy.copy(message, 16);
    return message;
}

// A raw connection that records what the server sends and when it closes.
function rawConnection(port) {
    return new Promise((resolve, reject) => {
        const socket = net.connect({ host: '127.0.0.1', port });
        const state = { socket, data: Buffer.alloc(0), closed: false, closedAt: null };
        socket.on('data', (chunk) => {
            state.data = Buffer.concat([state.data, chunk]);
        });
        socket.on('close', () => {
            state.closed = true;
            state.closedAt = Date.now();
        });
        socket.on('error', () => {});
        socket.once('connect', () => resolve(state));
        socket.once('error', reject);
    });
}

// Sends bytes and waits until the server has closed the connection; what it
// said before must be one Error message (or nothing).
async function expectRefused(port, bytes, { halfClose = false, withinMs = 5000 } = {}) {
    const connection = await rawConnection(port);
    connection.socket.write(bytes);
    if (halfClose) connection.socket.end();
    await harness.waitFor('the server to close the connection', () => connection.closed, withinMs, 20);
    expectErrorOrNothing(connection.data);
    return connection;
}

function expectErrorOrNothing(data) {
    if (data.length === 0) return;
    assert.ok(data.length >= 16, `a short answer: ${data.toString('hex')}`);
    assert.equal(data.toString('latin1', 0, 4), 'ERRF', `not an Error message: ${data.toString('hex', 0, 32)}`);
    assert.equal(data.readUInt32LE(4), data.length, 'one whole Error message');
    const code = data.readUInt32LE(8);
    assert.ok(code >= 0x80000000, `the Error message carries a Bad code, not 0x${code.toString(16)}`);
}

describe('the UA TCP port against broken peers', { skip }, () => {
    let served;

    before(async () => {
        served = await harness.startServer([{ com: 'COM75', addresses: [1] }], { sampleInterval: 0 });
    });

    after(async () => {
        if (served) await served.stop();
    });

    it('acknowledges a Hello with protocol version 0 and buffers of at least 8192 bytes', async () => {
        const connection = await rawConnection(served.port);
        try {
            connection.socket.write(hello(served.endpointUrl, { receiveBufferSize: 16384, sendBufferSize: 16384 }));
            await harness.waitFor('the Acknowledge', () => connection.data.length >= 28 || connection.closed, 5000, 20);
            const ack = connection.data;
            assert.equal(ack.toString('latin1', 0, 4), 'ACKF', ack.toString('hex'));
            assert.equal(ack.readUInt32LE(4), 28);
            assert.equal(ack.readUInt32LE(8), 0, 'protocol version');
            const receive = ack.readUInt32LE(12);
            const send = ack.readUInt32LE(16);
            assert.ok(receive >= 8192 && receive <= 16384, `receive buffer ${receive} within what the client sends`);
            assert.ok(send >= 8192 && send <= 16384, `send buffer ${send} within what the client receives`);

            // Bytes that are no message after the Hello end the connection.
            connection.socket.write(Buffer.from('GET / HTTP/1.1\r\nHost: x\r\n\r\n'));
            await harness.waitFor('the server to close the connection', () => connection.closed, 5000, 20);
            expectErrorOrNothing(connection.data.subarray(28));
        } finally {
            connection.socket.destroy();
        }
    });

    it('closes connections that open with garbage or a Hello of an impossible size', async () => {
        // Bytes of no message type at all.
        const garbage = Buffer.alloc(4096);
        for (let i = 0; i < garbage.length; ++i) garbage[i] = (i * 7919 + 13) & 0xff;
        await expectRefused(served.port, garbage);
        await expectRefused(served.port, Buffer.from('GET / HTTP/1.1\r\nHost: localhost\r\n\r\n'));
        // A Hello that announces nearly 4 GiB: nothing of that size may be set aside.
        await expectRefused(served.port, hello(served.endpointUrl, { size: 0xfffffff0 }));
        // A Hello shorter than its own header.
        await expectRefused(served.port, hello(served.endpointUrl, { size: 4 }));
        // A Hello with buffers below the least the standard allows for any
        // security policy (1024 bytes).
        await expectRefused(served.port, hello(served.endpointUrl, { receiveBufferSize: 100, sendBufferSize: 100 }));
        assert.ok(served.alive(), served.errors());
    });

    it('drops a Hello or an OpenSecureChannel that stops half-way, without holding up other clients', async () => {
        const whole = hello(served.endpointUrl);
        // Cut short, then the peer closes its side: the server closes too.
        await expectRefused(served.port, whole.subarray(0, 13), { halfClose: true });

        // After a good Hello, an OpenSecureChannel announced at 200 bytes that
        // stops after its first ones.
        const connection = await rawConnection(served.port);
        connection.socket.write(whole);
        await harness.waitFor('the Acknowledge', () => connection.data.length >= 28, 5000, 20);
        connection.socket.write(openStart(200));
        connection.socket.end();
        await harness.waitFor('the server to close the connection', () => connection.closed, 5000, 20);
        expectErrorOrNothing(connection.data.subarray(28));

        // Peers that stop half-way and keep the connection open: a normal
        // client connects and reads in the meantime.
        const stuck = [await rawConnection(served.port), await rawConnection(served.port)];
        stuck[0].socket.write(whole.subarray(0, 20));
        stuck[1].socket.write(whole);
        await harness.waitFor('the Acknowledge', () => stuck[1].data.length >= 28, 5000, 20);
        stuck[1].socket.write(openStart(500));
        try {
            const link = await harness.connect(served.endpointUrl);
            try {
                const state = await link.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
                assert.equal(state.statusCode.value, StatusCodes.Good.value);
                assert.equal(state.value.value, 0);
            } finally {
                await link.close();
            }
        } finally {
            for (const s of stuck) s.socket.destroy();
        }
    });

    it('lets go of a client killed while it has a session and a subscription', async () => {
        const device = served.devices[0];
        // A client in a process of its own, ended with SIGKILL: its socket
        // closes with no CloseSession and no DeleteSubscriptions.
        const code = `
            const harness = require('./harness');
            const { AttributeIds, ClientSubscription, TimestampsToReturn } = require('node-opcua');
            (async () => {
                const link = await harness.connect(process.argv[1]);
                const subscription = ClientSubscription.create(link.session, {
                    requestedPublishingInterval: 100, requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 10,
                    publishingEnabled: true });
                const item = await subscription.monitor({ nodeId: process.argv[2], attributeId: AttributeIds.Value },
                    { samplingInterval: 50, queueSize: 10 }, TimestampsToReturn.Both);
                item.on('changed', () => console.log('changed'));
            })().catch((e) => { console.log('failed ' + e.message); process.exit(1); });`;
        const child = spawn(process.execPath, ['-e', code, served.endpointUrl, `ns=1;s=${device}.Sample Interval`], {
            cwd: __dirname,
            env: process.env,
            stdio: ['ignore', 'pipe', 'pipe'],
        });
        let out = '';
        child.stdout.on('data', (d) => {
            out += d;
        });
        child.stderr.on('data', (d) => {
            out += d;
        });
        try {
            await harness.waitFor('the killed client\'s first notification', () => {
                if (out.includes('failed')) throw new Error(out);
                return out.includes('changed');
            }, 20000, 50);
        } catch (e) {
            e.message += `; the client printed: ${out}`;
            throw e;
        } finally {
            child.kill('SIGKILL');
        }
        await harness.sleep(1000);
        assert.ok(served.alive(), served.errors());
        const link = await harness.connect(served.endpointUrl);
        try {
            const state = await link.session.read({ nodeId: 'i=2259', attributeId: AttributeIds.Value });
            assert.equal(state.value.value, 0);
        } finally {
            await link.close();
        }
    });

    it('serves a normal client after all of it', async () => {
        assert.ok(served.alive(), served.errors());
        const link = await harness.connect(served.endpointUrl);
        try {
            const device = served.devices[0];
            const values = await link.session.read([
                { nodeId: 'i=2259', attributeId: AttributeIds.Value },
                { nodeId: `ns=1;s=${device}.Sample Interval`, attributeId: AttributeIds.Value },
            ]);
            assert.equal(values[0].value.value, 0);
            assert.equal(values[1].statusCode.value, StatusCodes.Good.value, values[1].statusCode.toString());
            assert.equal(typeof values[1].value.value, 'number');
        } finally {
            await link.close();
        }
    });
});
