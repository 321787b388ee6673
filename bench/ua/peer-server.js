"use strict";
// The peer measured beside our OPC UA server: a node-opcua OPCUAServer on the
// loopback address with as many variables as the benchmark monitors, grouped
// in devices like ours, each device changing all its values once per sample
// interval as a simulated counter does, and one writable Int32 "marker" the
// load writes to time a change's way to the client. When it listens, it
// writes a descriptor (pid, endpoint, node ids, the marker) that load.js reads.
// It offers SecurityPolicy None and Basic256Sha256 with SignAndEncrypt, the
// two the load measures, and trusts any client certificate (its own PKI
// folder, <pki>/server).
//
//   node peer-server.js --port 48401 --descriptor FILE [--interval 30]
//        [--variables 10000] [--devices 53] [--changing N] [--min-sampling 0] [--pki DIR]
// Ends on SIGTERM or SIGINT.

const fs = require("fs");
const os = require("os");
const path = require("path");
const {
    OPCUAServer, OPCUACertificateManager, Variant, DataType, StatusCodes, SecurityPolicy, MessageSecurityMode,
} = require("node-opcua");

function options(argv) {
    const o = {
        port: 48401,
        descriptor: "",
        // The simulated counters' default sample interval (the program's default poll rate);
        // the script passes the one our server reports when it has it.
        interval: 30,
        variables: 10000,
        devices: 53,
        // How many of the variables change each interval, spread over the devices; all by
        // default. Not every tag of a counter changes on a poll (alarms and settings stay), so
        // the script passes the number of notifications our server sent per interval.
        changing: 0,
        // 0: the values are pushed (setValueFromSource) and monitored items follow the pushes
        // instead of sampling every variable on a timer: node-opcua's cheapest way to run this load.
        minSampling: 0,
        pki: path.join(os.tmpdir(), "vok-ua-bench-pki"),
    };
    for (let i = 2; i < argv.length; i += 2) {
        const key = argv[i], value = argv[i + 1];
        if (value === undefined) throw new Error(`${key} needs a value`);
        switch (key) {
        case "--port": o.port = Number(value); break;
        case "--descriptor": o.descriptor = value; break;
        case "--interval": o.interval = Number(value); break;
        case "--variables": o.variables = Number(value); break;
        case "--devices": o.devices = Number(value); break;
        case "--changing": o.changing = Number(value); break;
        case "--min-sampling": o.minSampling = Number(value); break;
        case "--pki": o.pki = value; break;
        default: throw new Error(`unknown option ${key}`);
        }
    }
    if (!o.descriptor) throw new Error("--descriptor FILE is required");
    if (!(o.changing >= 0)) throw new Error("--changing must be 0 (all) or more");
    if (!(o.interval > 0) || !(o.variables > 1) || !(o.devices > 0) || !(o.port > 0 && o.port < 65536))
        throw new Error("--interval, --variables, --devices and --port must be positive");
    return o;
}

async function main() {
    const o = options(process.argv);
    const certificateManager = new OPCUACertificateManager({ rootFolder: path.join(o.pki, "server"), automaticallyAcceptUnknownCertificate: true });
    const server = new OPCUAServer({
        port: o.port,
        host: "127.0.0.1",
        serverCertificateManager: certificateManager,
        securityPolicies: [SecurityPolicy.None, SecurityPolicy.Basic256Sha256],
        securityModes: [MessageSecurityMode.None, MessageSecurityMode.SignAndEncrypt],
        serverCapabilities: {
            maxSessions: 10,
            maxMonitoredItems: o.variables + 100,
            maxMonitoredItemsPerSubscription: o.variables + 100,
            operationLimits: {
                maxNodesPerRead: o.variables + 100,
                maxNodesPerWrite: o.variables + 100,
                maxMonitoredItemsPerCall: o.variables + 100,
            },
        },
    });
    await server.initialize();
    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.getOwnNamespace();

    // The marker first, as our server's list starts with the first device's sample interval.
    const markerId = "Marker";
    namespace.addVariable({
        organizedBy: addressSpace.rootFolder.objects,
        browseName: markerId,
        nodeId: `s=${markerId}`,
        dataType: "Int32",
        minimumSamplingInterval: o.minSampling,
        accessLevel: "CurrentRead | CurrentWrite",
        userAccessLevel: "CurrentRead | CurrentWrite",
        value: new Variant({ dataType: DataType.Int32, value: 0 }),
    });
    const nodes = [`ns=${namespace.index};s=${markerId}`];

    const devices = [];
    const perDevice = Math.ceil((o.variables - 1) / o.devices);
    let made = 1;
    for (let d = 0; d < o.devices && made < o.variables; ++d) {
        const folder = namespace.addFolder(addressSpace.rootFolder.objects, { browseName: `Dev${d}` });
        const variables = [];
        for (let i = 0; i < perDevice && made < o.variables; ++i, ++made) {
            const id = `Dev${d}.Value ${String(i + 1).padStart(3, "0")}`;
            variables.push(namespace.addVariable({
                componentOf: folder,
                browseName: `Value ${i + 1}`,
                nodeId: `s=${id}`,
                dataType: "Double",
                minimumSamplingInterval: o.minSampling,
                value: new Variant({ dataType: DataType.Double, value: 0 }),
            }));
            nodes.push(`ns=${namespace.index};s=${id}`);
        }
        devices.push(variables);
    }

    // Each device's values step as a ramp over 200 steps, as the simulated
    // counters' count tags do, a device's changing ones at once per sample interval.
    const changing = o.changing > 0 ? Math.min(o.changing, made - 1) : made - 1;
    const changingPerDevice = Math.ceil(changing / devices.length);
    let step = 0;
    const advance = (variables) => {
        step = (step + 1) % 200;
        const now = new Date();
        for (let i = 0; i < Math.min(changingPerDevice, variables.length); ++i)
            variables[i].setValueFromSource(new Variant({ dataType: DataType.Double, value: ((step + i) % 200) * 5000 }), StatusCodes.Good, now);
    };
    const timers = devices.map((variables) => setInterval(advance, o.interval * 1000, variables));

    await server.start();
    const endpoint = `opc.tcp://127.0.0.1:${o.port}`;
    const descriptor = {
        server: "node-opcua OPCUAServer 2.182.2",
        pid: process.pid,
        endpoint,
        marker: nodes[0],
        nodes,
        changeIntervalSeconds: o.interval,
        changingPerInterval: devices.reduce((sum, variables) => sum + Math.min(changingPerDevice, variables.length), 0),
        minimumSamplingInterval: o.minSampling,
    };
    const temporary = `${o.descriptor}.tmp`;
    fs.writeFileSync(temporary, JSON.stringify(descriptor));
    fs.renameSync(temporary, o.descriptor);
    console.log(`peer: ${nodes.length} variables in ${devices.length} devices on ${endpoint}, `
        + `${descriptor.changingPerInterval} of them changing every ${o.interval} s`);

    let stopping = false;
    const stop = async () => {
        if (stopping) return;
        stopping = true;
        timers.forEach(clearInterval);
        await server.shutdown(0);
        process.exit(0);
    };
    process.on("SIGTERM", stop);
    process.on("SIGINT", stop);
}

main().catch((error) => {
    console.error(`peer server: ${error.message}`);
    process.exit(1);
});
