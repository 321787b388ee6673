'use strict';
// The history part of the demo (scripts/run.sh): a node-opcua client reads
// the past values of a count with HistoryRead, as a historian or a report
// would, and prints them beside what `vok history samples` prints for the
// same minutes, so that a reader sees they are the same samples.
// Usage: node demo-history.js ENDPOINT_URL DEVICE MINUTES VOK HISTORY_FILE
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { OPCUAClient, OPCUACertificateManager, AttributeIds } = require('node-opcua');

async function main() {
    const [url, device, minutesText, vok, historyFile] = process.argv.slice(2);
    const end = new Date();
    const start = new Date(end.getTime() - Number(minutesText) * 60000);
    const pki = fs.mkdtempSync(path.join(os.tmpdir(), 'vok-ua-demo-'));
    const client = OPCUAClient.create({
        endpointMustExist: false,
        connectionStrategy: { maxRetry: 1 },
        clientCertificateManager: new OPCUACertificateManager({ rootFolder: pki }),
    });
    try {
        await client.connect(url);
        const session = await client.createSession();
        const nodeId = `ns=1;s=${device}.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01`;
        const historizing = await session.read({ nodeId, attributeId: AttributeIds.Historizing });
        const result = await session.readHistoryValue(nodeId, start, end);
        const values = (result.historyData && result.historyData.dataValues) || [];
        const good = values.filter((v) => v.statusCode.value === 0);
        console.log(`  HistoryRead of ${nodeId} (Historizing ${historizing.value.value}), the last ${minutesText} minutes: ` +
            `${result.statusCode.name}, ${good.length} samples`);
        const printed = JSON.parse(execFileSync(vok, ['history', '--db', historyFile, 'samples', device, '--from',
            start.toISOString(), '--to', end.toISOString(), '--bins', '1', '--json'], { encoding: 'utf8' }));
        const rows = printed.samples || printed;
        const same = good.length === rows.length &&
            good.every((v, i) => v.value.value === rows[i].bins[0].raw &&
                v.sourceTimestamp.getTime() === Date.parse(rows[i].time_utc));
        for (const v of good.slice(-3))
            console.log(`    ${v.sourceTimestamp.toISOString()}  ${v.value.value}`);
        console.log(`  vok history samples prints the same ${rows.length} samples: ${same ? 'yes' : 'NO'}`);
        await session.close();
        if (!same) process.exitCode = 1;
    } finally {
        await client.disconnect();
        fs.rmSync(pki, { recursive: true, force: true });
    }
}

main().catch((e) => {
    console.error(`  the history client failed: ${e.message}`);
    process.exitCode = 1;
});
