'use strict';
// Runs the real programs for the OPC UA client suite: simulated counters on
// pseudo-terminals (`vok sim`), a configuration made by `vok config new`, and
// `vok-explorer --headless --poll` serving it with its OPC UA endpoint on a
// free local port, each server in a folder of its own (registry, runtime
// folder, temporary files), so that a run never touches the user's own
// settings or a server the user runs. Also connects node-opcua clients to it
// with their certificate store in a temporary folder.
const { spawn, execFile } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const {
    OPCUAClient,
    OPCUACertificateManager,
    MessageSecurityMode,
    SecurityPolicy,
    UserTokenType,
} = require('node-opcua');

// Every process the suite started, so that none outlives a test file that
// failed half-way (the exit handler kills what is left).
const running = new Set();
// The folders of the servers not stopped yet, removed with them.
const folders = new Set();
function killAll() {
    for (const child of running) {
        try {
            child.kill('SIGKILL');
        } catch {
            // Already gone.
        }
    }
    if (!process.env.VOK_UA_SUITE_KEEP) for (const dir of folders) fs.rmSync(dir, { recursive: true, force: true });
}
process.on('exit', killAll);
// The test runner ends a file that overran its time with a signal, which
// skips 'exit': the servers and simulators must not outlive it either.
for (const signal of ['SIGTERM', 'SIGINT']) {
    process.once(signal, () => {
        killAll();
        process.exit(1);
    });
}

// The folder of the built programs, or null when the suite runs without one
// (the tests then skip and say why).
function binDir() {
    const dir = process.env.VOK_TEST_BIN_DIR;
    return dir ? path.resolve(dir) : null;
}

// Why the suite cannot run here, or false. A named folder without the programs
// is a failure, not a reason to skip: a build that lost them must not pass.
function skipReason() {
    if (!binDir()) return 'VOK_TEST_BIN_DIR names the folder of vok and vok-explorer';
    // Not null: the test runner marks a suite given {skip: null} as skipped
    // and then hides the errors of its hooks.
    return false;
}

function sleep(ms) {
    return new Promise((resolve) => setTimeout(resolve, ms));
}

// Waits until probe() returns a truthy value, trying every `every` ms; throws
// with `what` when `timeoutMs` passes first.
async function waitFor(what, probe, timeoutMs, every = 100) {
    const end = Date.now() + timeoutMs;
    let last;
    for (;;) {
        last = await probe();
        if (last) return last;
        if (Date.now() > end) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
        await sleep(every);
    }
}

// A local TCP port nobody listens on now.
function freePort() {
    return new Promise((resolve, reject) => {
        const probe = net.createServer();
        probe.unref();
        probe.on('error', reject);
        probe.listen(0, '127.0.0.1', () => {
            const { port } = probe.address();
            probe.close(() => resolve(port));
        });
    });
}

function canConnect(port) {
    return new Promise((resolve) => {
        const socket = net.connect({ host: '127.0.0.1', port });
        socket.once('connect', () => {
            socket.destroy();
            resolve(true);
        });
        socket.once('error', () => resolve(false));
    });
}

// Collects a child's output as text and resolves `line(prefix)` promises when
// a line starting with the prefix arrives on standard output.
function watch(child) {
    const seen = { out: '', err: '', exited: null };
    child.stdout.setEncoding('utf8');
    child.stderr.setEncoding('utf8');
    child.stdout.on('data', (text) => {
        seen.out += text;
    });
    child.stderr.on('data', (text) => {
        seen.err += text;
    });
    child.on('exit', (code, signal) => {
        seen.exited = { code, signal };
        running.delete(child);
    });
    return seen;
}

async function waitForLine(child, seen, prefix, timeoutMs, what) {
    return waitFor(
        what,
        () => {
            if (seen.exited) {
                throw new Error(`${what}: the program ended (${JSON.stringify(seen.exited)}): ${seen.err}`);
            }
            return seen.out.split('\n').find((line) => line.startsWith(prefix));
        },
        timeoutMs,
        50,
    );
}

// Ends a child with SIGTERM, and kills it when it has not ended after `graceMs`.
async function end(child, seen, graceMs = 5000) {
    if (!child || seen.exited) return seen && seen.exited;
    child.kill('SIGTERM');
    try {
        await waitFor('the end of a program', () => seen.exited, graceMs, 50);
    } catch {
        child.kill('SIGKILL');
        await waitFor('the end of a killed program', () => seen.exited, 5000, 50);
    }
    return seen.exited;
}

// One served configuration: `ports` lists the simulated lines, each
// {com: 'COM71', addresses: [1, 2], simArgs: [...]}.
class Served {
    constructor(ports, explorerArgs = []) {
        this.ports = ports;
        this.explorerArgs = explorerArgs;
        this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vok-ua-suite-'));
        folders.add(this.dir);
        this.registry = path.join(this.dir, 'registry');
        this.runtime = path.join(this.dir, 'run');
        this.tmp = path.join(this.dir, 'tmp');
        fs.mkdirSync(this.runtime, { mode: 0o700 });
        fs.mkdirSync(this.tmp);
        this.config = path.join(this.dir, 'ua.psf');
        // The server's certificate folders and user list sit beside its
        // settings folder (the registry).
        this.pki = path.join(this.dir, 'pki');
        this.usersFile = path.join(this.dir, 'ua-users');
        this.sims = [];
        this.explorer = null;
    }

    env(extra = {}) {
        return {
            ...process.env,
            VOK_REGISTRY_DIR: this.registry,
            XDG_RUNTIME_DIR: this.runtime,
            TMPDIR: this.tmp,
            XDG_DATA_HOME: path.join(this.dir, 'data'),
            ...extra,
        };
    }

    // The control file of a line's simulator: the faults its counters have.
    controlFile(com) {
        return path.join(this.dir, `${com}.faults`);
    }

    // Writes a line's faults whole and renames them over the old file, so the
    // simulator never reads half a file.
    setFaults(com, text) {
        const file = this.controlFile(com);
        fs.writeFileSync(`${file}.new`, text ? `${text}\n` : '');
        fs.renameSync(`${file}.new`, file);
    }

    traceFile(com) {
        return path.join(this.dir, `${com}.trace`);
    }

    // Every byte the line's counters received from the server so far, in
    // order, from the simulator's trace ('<ms> rx|tx <HEX>' lines).
    simReceived(com) {
        let text;
        try {
            text = fs.readFileSync(this.traceFile(com), 'latin1');
        } catch {
            return Buffer.alloc(0);
        }
        const hex = text
            .split('\n')
            .map((line) => line.trim().split(/\s+/))
            .filter((fields) => fields[1] === 'rx')
            .map((fields) => fields.slice(2).join(''))
            .join('');
        return Buffer.from(hex, 'hex');
    }

    async startSims() {
        for (const line of this.ports) {
            this.setFaults(line.com, '');
            const args = ['sim', '--port', line.com];
            for (const a of line.addresses) args.push('--counter', String(a));
            args.push('--control', this.controlFile(line.com), '--trace', this.traceFile(line.com));
            args.push(...(line.simArgs || []));
            const child = spawn(path.join(binDir(), 'vok'), args, {
                cwd: this.dir,
                env: this.env(),
                stdio: ['ignore', 'pipe', 'pipe'],
            });
            running.add(child);
            const seen = watch(child);
            this.sims.push({ line, child, seen });
            await waitForLine(child, seen, `ready ${line.com}`, 10000, `vok sim on ${line.com}`);
        }
    }

    async makeConfiguration() {
        const args = ['config', 'new', this.config];
        for (const line of this.ports) for (const a of line.addresses) args.push('--device', `${line.com}:${a}`);
        args.push('--live');
        await this.vok(args, { raw: true });
    }

    async startExplorer() {
        // A copy in the folder, so that the program's own folder (where it
        // keeps what it writes beside itself) is the test's.
        const bin = path.join(this.dir, 'bin');
        fs.mkdirSync(bin);
        const program = path.join(bin, 'vok-explorer');
        fs.copyFileSync(path.join(binDir(), 'vok-explorer'), program);
        fs.chmodSync(program, 0o755);
        this.port = await freePort();
        this.endpointUrl = `opc.tcp://127.0.0.1:${this.port}`;
        const args = ['--headless', '--poll', '--ua-port', String(this.port), '--ua-listen', '127.0.0.1',
            ...this.explorerArgs, this.config];
        const child = spawn(program, args, { cwd: this.dir, env: this.env(), stdio: ['ignore', 'pipe', 'pipe'] });
        running.add(child);
        this.explorer = { child, seen: watch(child) };
        const line = await waitForLine(child, this.explorer.seen, '{"serving"', 20000, 'the start-up line of vok-explorer');
        this.startup = JSON.parse(line);
        try {
            await waitFor(
                `the OPC UA endpoint on port ${this.port}`,
                async () => {
                    if (this.explorer.seen.exited) throw new Error(`vok-explorer ended: ${this.explorer.seen.err}`);
                    return canConnect(this.port);
                },
                // A sanitizer build starts far slower than a release one.
                30000,
            );
        } catch (e) {
            e.message += ` (vok-explorer's standard error: ${JSON.stringify(this.explorer.seen.err)})`;
            throw e;
        }
    }

    // Runs `vok ARGS` as a client of this server (its runtime folder and
    // registry) and returns its standard output parsed as JSON, or the raw
    // outcome with {raw: true}. A failing run throws with its error text,
    // unless {allowFailure: true}.
    vok(args, { raw = false, allowFailure = false, timeoutMs = 60000, input = null } = {}) {
        return new Promise((resolve, reject) => {
            const child = execFile(
                path.join(binDir(), 'vok'),
                args,
                { cwd: this.dir, env: this.env(), timeout: timeoutMs, maxBuffer: 16 * 1024 * 1024 },
                (error, stdout, stderr) => {
                    const status = error ? (typeof error.code === 'number' ? error.code : -1) : 0;
                    if (status !== 0 && !allowFailure) {
                        reject(new Error(`vok ${args.join(' ')} failed (${status}): ${stderr}`));
                        return;
                    }
                    if (raw || status !== 0) {
                        resolve({ status, stdout, stderr });
                        return;
                    }
                    try {
                        resolve(JSON.parse(stdout));
                    } catch (e) {
                        reject(new Error(`vok ${args.join(' ')} printed no JSON: ${stdout} ${stderr}`));
                    }
                },
            );
            // Standard input is a pipe, never a terminal: what a command
            // would prompt for (a password) it reads from there.
            child.stdin.on('error', () => {});
            child.stdin.end(input === null ? '' : input);
        });
    }

    // Adds a user of the server's user list with `vok ua users add`, the
    // password given on standard input.
    async addUser(name, role, password) {
        await this.vok(['ua', 'users', 'add', name, '--role', role], { raw: true, input: `${password}\n` });
    }

    // Trusts a client certificate (DER) with `vok ua certs trust FILE`.
    async trustCertificate(der, name = 'client') {
        const file = path.join(this.dir, `${name}-${thumbprint(der)}.der`);
        fs.writeFileSync(file, der);
        await this.vok(['ua', 'certs', 'trust', file], { raw: true });
    }

    // A session of an operator, who may write, on a signed and encrypted
    // channel: the suite's client certificate is trusted and the user added
    // first (once for this server).
    async connectOperator() {
        if (!this.operator) {
            await this.trustCertificate(await clientCertificate(this.endpointUrl));
            this.operator = { userName: 'suite-operator', password: 'suite-operator-secret' };
            await this.addUser(this.operator.userName, 'operator', this.operator.password);
        }
        return connect(this.endpointUrl, secureOptions(), this.operator);
    }

    // The DER files in one of the server's certificate folders
    // ('trusted/certs', 'rejected/certs', 'own/certs').
    certificatesIn(folder) {
        const dir = path.join(this.pki, folder);
        let names;
        try {
            names = fs.readdirSync(dir);
        } catch {
            return [];
        }
        return names.filter((n) => n.endsWith('.der')).map((n) => fs.readFileSync(path.join(dir, n)));
    }

    // Clears a line's faults and waits (up to 30 s) until the DA side reads
    // the items good again, so that a test that failed half-way with a silent
    // counter does not fail the next one too. Throws when they stay bad.
    async heal(com, itemIds) {
        this.setFaults(com, '');
        const read = await this.vok(['opc', 'read', ...itemIds, '--timeout', '30'], { timeoutMs: 45000 });
        const bad = read.items.filter((i) => i.quality !== 192);
        if (bad.length > 0) throw new Error(`still bad after the faults were cleared: ${JSON.stringify(bad)}`);
    }

    // Whether vok-explorer still runs: every test that sends something odd
    // checks that the server lived through it.
    alive() {
        return this.explorer !== null && this.explorer.seen.exited === null;
    }

    errors() {
        return this.explorer ? this.explorer.seen.err : '';
    }

    async stop() {
        let explorerEnd = null;
        if (this.explorer) explorerEnd = await end(this.explorer.child, this.explorer.seen);
        for (const sim of this.sims) await end(sim.child, sim.seen);
        if (!process.env.VOK_UA_SUITE_KEEP) fs.rmSync(this.dir, { recursive: true, force: true });
        folders.delete(this.dir);
        return explorerEnd;
    }
}

// Starts simulators, makes the configuration and serves it. With
// `sampleInterval` (seconds) every device is told that interval through the
// DA side first (a device polls at its sample interval; a new configuration
// has 30 s), and the start waits until every device's first count is good.
// The caller stops the server in its `after` hook; a failed start stops what
// did start.
async function startServer(ports, { sampleInterval = 1, explorerArgs = [] } = {}) {
    const served = new Served(ports, explorerArgs);
    try {
        await served.startSims();
        await served.makeConfiguration();
        await served.startExplorer();
        served.devices = (await served.vok(['opc', 'browse'])).branches;
        if (sampleInterval) {
            // A write waits for the counter to confirm; the devices take theirs side by side.
            await Promise.all(served.devices.map((d) =>
                served.vok(['opc', 'write', `${d}.Sample Interval=${sampleInterval}`, '--call-timeout', '40'])));
            const counts = served.devices.map((d) => countItem(d));
            const read = await served.vok(['opc', 'read', ...counts, '--timeout', '40'], { timeoutMs: 60000 });
            for (const item of read.items) {
                if (item.quality !== 192) throw new Error(`no good count from ${item.id}: ${JSON.stringify(item)}`);
            }
        }
    } catch (e) {
        await served.stop();
        throw e;
    }
    return served;
}

// The item ID of a device's first cumulative raw count, the count every
// counter has.
function countItem(device, bin = 1) {
    return `${device}.Cumulative Raw Bin Counts.Cumulative Raw Count Bin ${String(bin).padStart(2, '0')}`;
}

// A certificate's thumbprint as the server's tools print it: the SHA-1 of its
// DER in upper-case hex.
function thumbprint(der) {
    return crypto.createHash('sha1').update(der).digest('hex').toUpperCase();
}

// node-opcua keeps a client certificate store; it goes to a folder of the run
// (the script names one), never to the user's ~/.config.
let certificateManager = null;
function clientCertificateManager() {
    if (!certificateManager) {
        // A folder for each test file (each runs in a process of its own):
        // two processes that made the certificate in one folder at once
        // could each hold a different one than the folder keeps, and a
        // server trusts the certificate a client showed it.
        const script = process.argv[1] && process.argv[1].endsWith('.js') ? path.basename(process.argv[1], '.js') : 'client';
        let root = process.env.VOK_UA_CLIENT_PKI && path.join(process.env.VOK_UA_CLIENT_PKI, script);
        if (!root) {
            root = fs.mkdtempSync(path.join(os.tmpdir(), 'vok-ua-pki-'));
            process.on('exit', () => fs.rmSync(root, { recursive: true, force: true }));
        }
        certificateManager = new OPCUACertificateManager({
            rootFolder: root,
            automaticallyAcceptUnknownCertificate: true,
        });
    }
    return certificateManager;
}

function makeClient(extra = {}) {
    return OPCUAClient.create({
        applicationName: 'VOK UA client suite',
        endpointMustExist: false,
        securityMode: MessageSecurityMode.None,
        securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 1, initialDelay: 200, maxDelay: 1000 },
        clientCertificateManager: clientCertificateManager(),
        requestedSessionTimeout: 60000,
        keepSessionAlive: false,
        ...extra,
    });
}

// The client options of a signed and encrypted channel (Basic256Sha256
// unless named).
function secureOptions(policy = SecurityPolicy.Basic256Sha256, extra = {}) {
    return { securityMode: MessageSecurityMode.SignAndEncrypt, securityPolicy: policy, ...extra };
}

// The suite's client certificate (DER), which node-opcua makes on its first
// connection: connects once over the None endpoint to have it.
let ownCertificate = null;
async function clientCertificate(endpointUrl) {
    if (!ownCertificate) {
        const client = makeClient();
        await client.connect(endpointUrl);
        try {
            ownCertificate = Buffer.from(client.getCertificate());
        } finally {
            await client.disconnect();
        }
    }
    return ownCertificate;
}

// A connected client with a session; close() ends both. The session is
// anonymous unless `user` names {userName, password}; `extra` adds to the
// client's options (makeClient's).
async function connect(endpointUrl, extra = {}, user = null) {
    const client = makeClient(extra);
    await client.connect(endpointUrl);
    let session;
    try {
        session = user
            ? await client.createSession({ type: UserTokenType.UserName, userName: user.userName, password: user.password })
            : await client.createSession();
    } catch (e) {
        await client.disconnect();
        throw e;
    }
    return {
        client,
        session,
        async close() {
            try {
                await session.close();
            } finally {
                await client.disconnect();
            }
        },
    };
}

module.exports = {
    binDir,
    skipReason,
    startServer,
    countItem,
    makeClient,
    secureOptions,
    clientCertificate,
    thumbprint,
    connect,
    sleep,
    waitFor,
    freePort,
};
