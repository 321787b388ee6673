'use strict';
// The encrypted part of the demo (scripts/run.sh): a node-opcua client with a
// certificate of its own connects to the running vok-explorer by the
// machine's network address with Basic256Sha256 SignAndEncrypt, signs in as
// VOK_UA_USER (an operator), reads a count and writes a counter's sample
// interval. Until an administrator trusts its certificate the server refuses
// it; the script then ends with status 2.
// Usage: VOK_UA_USER=NAME VOK_UA_PASSWORD=... node demo-secure.js ENDPOINT_URL DEVICE PKI_FOLDER
const {
    OPCUAClient,
    OPCUACertificateManager,
    AttributeIds,
    DataType,
    MessageSecurityMode,
    SecurityPolicy,
    UserTokenType,
} = require('node-opcua');

async function main() {
    const [url, device, pki] = process.argv.slice(2);
    const client = OPCUAClient.create({
        endpointMustExist: false,
        connectionStrategy: { maxRetry: 0 },
        securityMode: MessageSecurityMode.SignAndEncrypt,
        securityPolicy: SecurityPolicy.Basic256Sha256,
        // The demo's client takes the server's certificate as it finds it; a
        // plant's client is given it (vok ua certs show) and trusts it.
        clientCertificateManager: new OPCUACertificateManager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: true }),
    });
    try {
        await client.connect(url);
        const session = await client.createSession({ type: UserTokenType.UserName, userName: process.env.VOK_UA_USER,
            password: process.env.VOK_UA_PASSWORD || '' });
        const count = `ns=1;s=${device}.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01`;
        const read = await session.read({ nodeId: count, attributeId: AttributeIds.Value });
        console.log(`  signed and encrypted, signed in as ${process.env.VOK_UA_USER}: ${count} = ${read.value.value} (${read.statusCode.name})`);
        const interval = `ns=1;s=${device}.Sample Interval`;
        const written = await session.write({ nodeId: interval, attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.Double, value: 12 } } });
        console.log(`  ${process.env.VOK_UA_USER} writes 12 to ${interval}: ${written.name}`);
        await session.close();
        return 0;
    } catch (error) {
        console.log(`  refused: ${error.message.split('\n')[0]}`);
        return 2;
    } finally {
        await client.disconnect();
    }
}

main().then((code) => process.exit(code), (error) => {
    console.error(`ua demo: ${error.message}`);
    process.exit(1);
});
