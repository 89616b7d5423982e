#!/usr/bin/env python3
"""Runs the AWS emulator on 127.0.0.1 for the tests, with the few behaviours it lacks mended.

Prints "READY <port>" once it answers. It stops by itself when its standard input closes (the
test process ended), when its parent goes away, or after --lifetime seconds.
"""
import argparse
import os
import types
from datetime import datetime, timezone

from lifeline import watch

HERE = os.path.dirname(os.path.abspath(__file__))
# The image list is read when the emulator's modules are imported, so it must be set first.
os.environ.setdefault("MOTO_AMIS_PATH", os.path.join(HERE, "images.json"))

from moto.ec2.models import amis as ami_models  # noqa: E402
from moto.ec2.models import elastic_ip_addresses as eip_models  # noqa: E402
from moto.ec2.models import elastic_network_interfaces as eni_models  # noqa: E402
from moto.ec2.responses import amis as ami_responses  # noqa: E402
from moto.ec2.responses import subnets as subnet_responses  # noqa: E402


def patch_eni_public_ip_filter():
    """DescribeNetworkInterfaces answers 500 for a filter on the associated public address."""
    original = eni_models.NetworkInterface.get_filter_value

    def get_filter_value(self, filter_name, method_name=None):
        if filter_name in ("addresses.association.public-ip", "association.public-ip"):
            return self.public_ip
        return original(self, filter_name, method_name)

    eni_models.NetworkInterface.get_filter_value = get_filter_value


def patch_address_instance_through_eni():
    """An address associated with an instance's interface belongs to that instance, as in EC2."""
    original = eip_models.ElasticAddressBackend.associate_address

    def associate_address(self, instance=None, eni=None, address=None, allocation_id=None,
                          reassociate=False):
        eip = original(self, instance=instance, eni=eni, address=address,
                       allocation_id=allocation_id, reassociate=reassociate)
        if eip.instance is None and eip.eni is not None and getattr(eip.eni, "instance", None):
            eip.instance = eip.eni.instance
        return eip

    eip_models.ElasticAddressBackend.associate_address = associate_address


def _parse_time(text):
    return datetime.strptime(text.replace("Z", "+0000"), "%Y-%m-%dT%H:%M:%S.%f%z")


def patch_image_list():
    """Keeps the owner alias and deprecation time of each listed image (the loader forces every
    image to Amazon's and knows nothing of deprecation)."""

    def load_amis(self):
        for entry in ami_models.AMIS:
            ami = dict(entry)
            deprecation = ami.pop("deprecation_time", None)
            ami.setdefault("owner_alias", "amazon")
            if ami.get("creation_date"):
                ami["creation_date"] = _parse_time(ami["creation_date"])
            image = ami_models.Ami(self, **ami)
            image.deprecation_time = deprecation
            self.amis[ami["ami_id"]] = image

    ami_models.AmiBackend._load_amis = load_amis


def _is_deprecated(image):
    when = getattr(image, "deprecation_time", None)
    return bool(when) and _parse_time(when) <= datetime.now(timezone.utc)


def patch_describe_images_deprecation():
    """Deprecated images stay hidden unless asked for or named by id, as in EC2."""

    def describe_images(self):
        self.error_on_dryrun()
        ami_ids = self._get_param("ImageIds", [])
        filters = self._filters_from_querystring()
        owners = self._get_param("Owners", [])
        exec_users = self._get_param("ExecutableUsers", [])
        include_deprecated = str(self._get_param("IncludeDeprecated", False)).lower() == "true"
        images = self.ec2_backend.describe_images(
            ami_ids=ami_ids, filters=filters, exec_users=exec_users, owners=owners)
        if not ami_ids and not include_deprecated:
            images = [i for i in images if not _is_deprecated(i)]
        return ami_responses.ActionResult({"Images": images})

    ami_responses.AmisResponse.describe_images = describe_images


def patch_subnet_zone():
    """A subnet made without a zone lands in the region's first zone: the emulator would pick one at
    random, which could part a test's gateway and test subnets or choose one without t3.micro."""
    subnet_responses.random = types.SimpleNamespace(choice=lambda zones: zones[0])


def apply_patches():
    patch_eni_public_ip_filter()
    patch_address_instance_through_eni()
    patch_image_list()
    patch_describe_images_deprecation()
    patch_subnet_zone()




def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--lifetime", type=float, default=1800)
    options = parser.parse_args()

    apply_patches()
    from moto.server import ThreadedMotoServer

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=options.port, verbose=False)
    server.start()
    _, port = server.get_host_and_port()
    print(f"READY {port}", flush=True)
    watch(options.lifetime)


if __name__ == "__main__":
    main()
