#!/usr/bin/env python3
"""The whole workflow on a local AWS emulator and a fake controller, step by step.

Called by scripts/demo after the build. Talks to nothing but 127.0.0.1.

  demo.py --build BUILD_DIR --example EXAMPLE_BINARY [--keep]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTBED = os.path.join(ROOT, "tests", "testbed")
REGION = "us-east-1"
BUCKET = "tarnwick-demo-results"
ROLE_ARN = "arn:aws:iam::123456789012:role/tarnwick-demo"
PUBLIC_IP = "203.0.113.10"
CONTROLLER_USER, CONTROLLER_PASSWORD = "admin", "demo-password"


def say(text):
    print(text, flush=True)


def step(text):
    say(f"\n==> {text}")


class DemoFailure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise DemoFailure(what)
    say(f"    ok: {what}")


class Background:
    """A loopback server of the test bed; it prints "READY <port>" and ends when its stdin closes."""

    def __init__(self, argv, keep=False):
        if keep:
            # Kept running after the demo: the server's stdin is a pipe held open by a sleeper.
            argv = ["sh", "-c", 'sleep 14400 | exec "$@"', "sh"] + argv + ["--lifetime", "14400"]
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, start_new_session=keep)
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "READY":
            self.stop()
            raise DemoFailure(f"{argv[0]} did not start")
        self.port = int(line[1])

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def client_environment(moto_port, ip_port):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("AWS_") and k.lower() not in ("http_proxy", "https_proxy", "all_proxy")}
    env.update({
        "AWS_ENDPOINT_URL": f"http://127.0.0.1:{moto_port}",
        "AWS_ACCESS_KEY_ID": "demo-access-key",
        "AWS_SECRET_ACCESS_KEY": "demo-secret-key",
        "AWS_DEFAULT_REGION": REGION,
        "AWS_EC2_METADATA_DISABLED": "true",
        "AWS_CONFIG_FILE": "/dev/null",
        "AWS_SHARED_CREDENTIALS_FILE": "/dev/null",
        "TARNWICK_PUBLIC_IP_URL": f"http://127.0.0.1:{ip_port}",
        "NO_PROXY": "127.0.0.1",
    })
    return env


def run(argv, env, expect=0, cwd=None):
    say("    $ " + " ".join(argv))
    result = subprocess.run(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=600)
    for line in (result.stdout + result.stderr).splitlines():
        say("      | " + line)
    check(result.returncode == expect, f"exit status {result.returncode} (expected {expect})")
    return result


def boto3_clients(env):
    os.environ.update({k: env[k] for k in env if k.startswith("AWS_")})
    import boto3  # the emulator's own client library, used only to set up and inspect the demo
    return {name: boto3.client(name, region_name=REGION, endpoint_url=env["AWS_ENDPOINT_URL"])
            for name in ("ec2", "iam", "s3")}


def create_demo_vpc(ec2, s3):
    """A VPC with two spoke gateway interfaces and two public NAT gateways, in two zones."""
    vpc = ec2.create_vpc(CidrBlock="10.50.0.0/16")["Vpc"]["VpcId"]

    def subnet(cidr, zone):
        return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr, AvailabilityZone=zone)["Subnet"]["SubnetId"]

    zones = [f"{REGION}a", f"{REGION}b"]
    gw = [subnet("10.50.0.0/24", zones[0]), subnet("10.50.10.0/24", zones[1])]
    spoke_private = [subnet("10.50.1.0/24", zones[0]), subnet("10.50.11.0/24", zones[1])]
    nat_private = [subnet("10.50.2.0/24", zones[0]), subnet("10.50.12.0/24", zones[1])]
    # Each gateway subnet holds one test instance, so the NAT gateways get subnets of their own.
    nat_public = [subnet("10.50.3.0/24", zones[0]), subnet("10.50.13.0/24", zones[1])]

    gateways = []
    for i, private_ip in enumerate(["10.50.0.10", "10.50.10.10"]):
        eni = ec2.create_network_interface(SubnetId=gw[i], PrivateIpAddress=private_ip)
        eni_id = eni["NetworkInterface"]["NetworkInterfaceId"]
        eip = ec2.allocate_address(Domain="vpc")
        ec2.associate_address(AllocationId=eip["AllocationId"], NetworkInterfaceId=eni_id)
        rt = ec2.create_route_table(VpcId=vpc)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=rt, DestinationCidrBlock="0.0.0.0/0", NetworkInterfaceId=eni_id)
        ec2.associate_route_table(RouteTableId=rt, SubnetId=spoke_private[i])
        gateways.append({"subnet": gw[i], "cidr": ["10.50.0.0/24", "10.50.10.0/24"][i],
                         "private_ip": private_ip, "public_ip": eip["PublicIp"]})

    for i in range(2):
        eip = ec2.allocate_address(Domain="vpc")
        nat = ec2.create_nat_gateway(SubnetId=nat_public[i], AllocationId=eip["AllocationId"],
                                     ConnectivityType="public")["NatGateway"]["NatGatewayId"]
        rt = ec2.create_route_table(VpcId=vpc)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=rt, DestinationCidrBlock="0.0.0.0/0", NatGatewayId=nat)
        ec2.associate_route_table(RouteTableId=rt, SubnetId=nat_private[i])

    s3.create_bucket(Bucket=BUCKET)
    return vpc, gateways


def controller_fixture(gateways):
    def record(name, g, peer=None):
        r = {"gw_name": name, "private_ip": g["private_ip"], "public_ip": g["public_ip"],
             "gw_subnet_id": g["subnet"], "public_subnet": g["cidr"], "transit_gw_name": "transit-demo"}
        r["hagw_details"] = peer
        return r

    peer = {"gw_name": "spoke-a-hagw", "private_ip": gateways[1]["private_ip"],
            "public_ip": gateways[1]["public_ip"]}
    listing = {"return": True, "results": [record("spoke-a", gateways[0], peer),
                                            record("spoke-a-hagw", gateways[1])]}
    return {"routes": [
        {"method": "GET", "path": "/v2/api", "form": {"action": "get_api_token"},
         "body": {"return": True, "results": {"api_token": "demo-token"}}},
        {"method": "POST", "path": "/v2/api",
         "form": {"action": "login", "username": CONTROLLER_USER, "password": CONTROLLER_PASSWORD},
         "body": {"return": True, "CID": "demo-cid"}},
        {"method": "GET", "path": "/v1/api", "query": {"action": "list_vpcs_summary", "CID": "demo-cid"},
         "body": listing},
    ]}


def self_signed_certificate(folder):
    cert, key = os.path.join(folder, "controller.crt"), os.path.join(folder, "controller.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def fake_server(mode, fixture, folder, keep, tls=None):
    path = os.path.join(folder, f"{mode}-fixture.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(fixture, f)
    argv = [sys.executable, os.path.join(TESTBED, "fake_server.py"), "--mode", mode, "--fixture", path,
            "--requests", os.path.join(folder, f"{mode}-requests.jsonl")]
    if tls:
        argv += ["--cert", tls[0], "--key", tls[1]]
    return Background(argv, keep)


def result_tag(entry):
    # The tag rule of the deployment module with no --tag: gateway name (NAT gateway id) and "-".
    return (entry["gw_name"] if "gw_name" in entry else entry["nat_gw_id"]) + "-"


def leftovers(clients, vpc):
    ec2, iam = clients["ec2"], clients["iam"]
    found = []
    for r in ec2.describe_instances(Filters=[
            {"Name": "tag:Name", "Values": ["tarnwick-test-ec2"]},
            {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]}])["Reservations"]:
        found += [i["InstanceId"] for i in r["Instances"]]
    found += [a["PublicIp"] for a in ec2.describe_addresses(
        Filters=[{"Name": "tag:Name", "Values": ["tarnwick-test-ec2-eip"]}])["Addresses"]]
    found += [g["GroupName"] for g in ec2.describe_security_groups(
        Filters=[{"Name": "vpc-id", "Values": [vpc]}])["SecurityGroups"] if g["GroupName"].startswith("tarnwick")]
    found += [k["KeyName"] for k in ec2.describe_key_pairs()["KeyPairs"] if k["KeyName"].startswith("tarnwick")]
    found += [p["InstanceProfileName"] for p in iam.list_instance_profiles()["InstanceProfiles"]
              if p["InstanceProfileName"].startswith("tarnwick")]
    found += [r["RoleName"] for r in iam.list_roles()["Roles"] if r["RoleName"].startswith("tarnwick")]
    found += [p["PolicyName"] for p in iam.list_policies(Scope="Local")["Policies"]
              if p["PolicyName"].startswith("tarnwick")]
    return found


def demo(options, work, servers):
    step("Starting the AWS emulator and the fake controller and public-address service (127.0.0.1 only)")
    moto = Background([sys.executable, os.path.join(TESTBED, "moto_launcher.py")], options.keep)
    servers.append(moto)
    ip = fake_server("ipecho", {"ip": PUBLIC_IP}, work, options.keep)
    servers.append(ip)
    env = client_environment(moto.port, ip.port)
    clients = boto3_clients(env)
    say(f"    emulator on port {moto.port}, public-address service on port {ip.port}")

    step("Creating a demo VPC: two spoke gateway interfaces with Elastic IPs, two public NAT gateways")
    vpc, gateways = create_demo_vpc(clients["ec2"], clients["s3"])
    controller = fake_server("generic", controller_fixture(gateways), work, options.keep,
                             tls=self_signed_certificate(work))
    servers.append(controller)
    say(f"    VPC {vpc}; controller on 127.0.0.1:{controller.port} (HTTPS, self-signed)")

    backups = os.path.join(work, "backups")
    scout = [options.subnet_scout, "--vpc", vpc, "--assume_role", ROLE_ARN, "--region", REGION,
             "--backup_folder", backups]
    deployer = options.probe_deployer

    step("subnet_scout spoke: the subnets behind spoke-a and its peer spoke-a-hagw")
    say("    (the controller password comes from TARNWICK_CONTROLLER_PASSWORD, not the command line)")
    run(scout + ["spoke", "--controller_ip", f"127.0.0.1:{controller.port}", "--controller_user",
                 CONTROLLER_USER, "--spoke_gw_name", "spoke-a"], {**env, "TARNWICK_CONTROLLER_PASSWORD": CONTROLLER_PASSWORD})
    spoke_config = os.path.join(backups, vpc, "subnet.config")
    spoke_entries = json.load(open(spoke_config, encoding="utf-8"))
    check(len(spoke_entries) == 2, f"{spoke_config} holds 2 spoke entries")

    step("subnet_scout natgw: the subnets behind the public NAT gateways, copied to the bucket")
    run(scout + ["--output_test_config", "nat.config", "--s3_bucket", BUCKET, "natgw"], env)
    nat_entries = json.load(open(os.path.join(backups, vpc, "nat.config"), encoding="utf-8"))
    check(len(nat_entries) == 2, "nat.config holds 2 NAT entries")
    stored = [o["Key"] for o in clients["s3"].list_objects_v2(Bucket=BUCKET).get("Contents", [])]
    check(f"backups/{vpc}/nat.config" in stored, f"s3://{BUCKET}/backups/{vpc}/nat.config stored")

    all_config = os.path.join(work, "all.config")
    with open(all_config, "w", encoding="utf-8") as f:
        json.dump(spoke_entries + nat_entries, f, indent=2)
    deployed = os.path.join(work, "deployed.config")

    step("probe_deployer: one test instance per entry, with the default IAM set, key pair and tags")
    # The gateways and NAT gateways hold four of the emulated account's five Elastic IPs, so the
    # pre-flight checks would refuse the deploy; the emulator itself does not enforce the quota.
    run([deployer, "--test_config", all_config, "--output_test_config", deployed, "--ec2_role", "default",
         "--s3_bucket", BUCKET, "--tag_resource", "Owner,demo", "--backup_folder", backups,
         "--region", REGION, "--skip_preflight"], env)
    entries = json.load(open(deployed, encoding="utf-8"))
    check(all("ec2_ip" in e for e in entries), "every entry of the output carries ec2_ip")

    step("The extended test configuration")
    say(open(deployed, encoding="utf-8").read().rstrip())

    step("Collecting the results through the library's getS3TestResults (examples/collect_results)")
    say("    The emulator runs no instances, so the demo uploads the result and log objects that the")
    say("    test instances would have left in the bucket itself.")
    for e in entries:
        tag = result_tag(e)
        clients["s3"].put_object(Bucket=BUCKET, Key=f"log-{tag}.txt", Body=f"ping and traceroute from {tag}\n")
        clients["s3"].put_object(Bucket=BUCKET, Key=f"result-{tag}.txt", Body="PASS\n")
    result = run([options.example, deployed, BUCKET], env, cwd=work)
    check("PASSED" in result.stdout, "all subnets passed")

    step("probe_deployer --revert: instances, Elastic IPs, security groups, key pair and IAM set")
    run([deployer, "--test_config", all_config, "--revert", "--ec2_role", "default",
         "--backup_folder", backups, "--region", REGION], env)
    left = leftovers(clients, vpc)
    check(not left, "nothing of the deployment is left" + (f" (left: {left})" if left else ""))

    if options.keep:
        step("The emulator keeps running; point the programs at it with:")
        ours = ("AWS_ENDPOINT_URL", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_DEFAULT_REGION",
                "AWS_EC2_METADATA_DISABLED", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE",
                "TARNWICK_PUBLIC_IP_URL", "NO_PROXY")
        # Anything else of the shell's AWS settings (a profile, a region, a token) would win over
        # the demo's keys or send the programs elsewhere.
        stale = sorted({"AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_REGION", "AWS_SESSION_TOKEN",
                        "AWS_SECURITY_TOKEN"} | {k for k in os.environ if k.startswith("AWS_") and k not in ours})
        say("    unset " + " ".join(stale) + " HTTP_PROXY HTTPS_PROXY ALL_PROXY http_proxy https_proxy all_proxy")
        for k in ours:
            say(f"    export {k}={env[k]}")
        say(f"    export PATH={os.path.dirname(os.path.abspath(options.probe_deployer))}:$PATH"
            "   # probe_deployer and subnet_scout")
        say(f"    # collect_results: {os.path.abspath(options.example)}")
        say(f"    # demo VPC {vpc}; controller 127.0.0.1:{controller.port} "
            f"(user {CONTROLLER_USER}, password {CONTROLLER_PASSWORD}); files in {work}")
        say("    # the servers stop by themselves after 4 hours, or: kill -- -<pid> of each")
        for s in servers:
            say(f"    #   pid {s.proc.pid}")


def main():
    parser = argparse.ArgumentParser(description="Run the whole workflow on a local emulator")
    parser.add_argument("--probe_deployer", required=True)
    parser.add_argument("--subnet_scout", required=True)
    parser.add_argument("--example", required=True)
    parser.add_argument("--keep", action="store_true")
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="tarnwick-demo-")
    servers = []
    status = 0
    try:
        demo(options, work, servers)
        step("Demo finished: every step did what it should")
    except (DemoFailure, subprocess.SubprocessError, OSError, ValueError) as e:
        say(f"\n** demo failed: {e}")
        status = 1
    finally:
        if not options.keep:
            for s in servers:
                s.stop()
            shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
