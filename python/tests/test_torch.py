"""kelvor_stoi.torch: the functional, the loss and the metric against the
1-D calls; gradcheck; devices, dtypes and errors; the training example."""
import runpy
import subprocess
import sys

import numpy as np
import pytest

import kelvor_stoi
from conftest import SOURCE, demo_pair, same_bits


def test_the_package_imports_without_torch_and_the_module_names_it():
    code = (
        "import sys; sys.modules['torch'] = None\n"
        "import kelvor_stoi\n"
        "try:\n    import kelvor_stoi.torch\nexcept ImportError as e:\n    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "python3-torch" in done.stdout


torch = pytest.importorskip("torch")
from kelvor_stoi.torch import StoiLoss, StoiMetric, stoi  # noqa: E402

REF, DEG = demo_pair()
CROP = 8000  # 1 s at 8 kHz


def pairs(count: int, dtype=torch.float64):
    """(estimate, reference) tensors of shape (count, CROP)."""
    ref = torch.from_numpy(np.stack([REF[k * 2500 : k * 2500 + CROP] for k in range(count)]) / 32768.0)
    deg = torch.from_numpy(np.stack([DEG[k * 2500 : k * 2500 + CROP] for k in range(count)]) / 32768.0)
    return deg.to(dtype), ref.to(dtype)


def one_d(preds, target, extended=False):
    """kelvor_stoi.stoi on every item: the values the tensors must give."""
    p, t = preds.detach().numpy(), target.detach().numpy()
    return np.array([kelvor_stoi.stoi(t[i], p[i], 8000, extended) for i in np.ndindex(p.shape[:-1])]).reshape(
        p.shape[:-1]
    )


@pytest.mark.parametrize("extended", [False, True])
@pytest.mark.parametrize("jobs", [1, 2])
def test_values_are_the_1d_calls_for_every_shape(extended, jobs):
    preds, target = pairs(4)
    expected = one_d(preds, target, extended)
    for shape in [(4,), (2, 2), (1, 2, 2)]:
        p, t = preds.reshape(shape + (CROP,)), target.reshape(shape + (CROP,))
        value = stoi(p.clone().requires_grad_(), t, 8000, extended, jobs=jobs)
        assert value.shape == shape and np.array_equal(value.detach().numpy(), expected.reshape(shape))
    loss = StoiLoss(8000, extended, jobs=jobs)
    assert torch.equal(loss(preds[0], target[0]), -torch.from_numpy(expected[:1]))
    assert torch.equal(loss(preds, target), -torch.from_numpy(expected))
    assert loss(preds.reshape(2, 2, CROP), target.reshape(2, 2, CROP)).shape == (2, 2)
    metric = StoiMetric(8000, extended, jobs=jobs)
    metric.update(preds[:3], target[:3])
    metric.update(preds[3:], target[3:])
    total = 0.0
    for v in expected.tolist():
        total += v
    assert int(metric.count) == 4 and same_bits(float(metric.compute()), total / 4)


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float32, torch.float64])
def test_device_and_dtype_round_trip(dtype):
    preds, target = pairs(2, dtype)
    preds.requires_grad_()
    value = stoi(preds, target.to(torch.float32), 8000)
    assert value.dtype == dtype and value.device == preds.device
    assert torch.equal(value.detach(), torch.from_numpy(one_d(preds.float(), target.float())).to(dtype))
    value.sum().backward()
    assert preds.grad.dtype == dtype and preds.grad.device == preds.device and preds.grad.shape == preds.shape
    if dtype in (torch.float32, torch.float64):  # the float64 gradient rounded once
        _, exact = kelvor_stoi.stoi_gradient(target.float().numpy(), preds.detach().numpy(), 8000)
        assert torch.equal(preds.grad, torch.from_numpy(exact).to(dtype))
    int16_target = torch.from_numpy(REF[:CROP].copy())
    assert stoi(preds[0].detach().double(), int16_target, 8000).item() == kelvor_stoi.stoi(
        REF[:CROP], preds[0].detach().double().numpy(), 8000
    )


@pytest.mark.parametrize("extended", [False, True])
def test_gradcheck(extended):
    """Fast-mode gradcheck in float64 on 1 s at 8 kHz: a padded item, a
    target broadcast against two estimates."""
    preds, target = pairs(2)
    preds = (preds + 0.01 * torch.randn(preds.shape, generator=torch.Generator().manual_seed(3), dtype=torch.float64))
    preds.requires_grad_()
    lengths = torch.tensor([CROP, 6000])
    assert torch.autograd.gradcheck(
        lambda p: stoi(p, target[0], 8000, extended, lengths=lengths), (preds,), fast_mode=True
    )
    grad = torch.autograd.grad(stoi(preds, target[0], 8000, extended, lengths=lengths).sum(), preds)[0]
    _, expected = kelvor_stoi.stoi_gradient(target[0].numpy(), preds.detach().numpy(), 8000, extended, lengths=[CROP, 6000])
    assert np.array_equal(grad.numpy(), expected)
    one = preds[:1].detach().clone().requires_grad_()  # one estimate against two targets: the gradients add
    stoi(one, target, 8000, extended).sum().backward()
    _, both = kelvor_stoi.stoi_gradient(target.numpy(), one.detach().numpy(), 8000, extended)
    assert torch.equal(one.grad[0], torch.from_numpy(both.sum(axis=0)))


def test_an_item_that_cannot_be_scored():
    preds, target = pairs(3)
    target[1] = 0.0  # silent reference
    preds.requires_grad_()
    with pytest.raises(kelvor_stoi.SilentError, match=r"^item 1 of the batch"):
        StoiLoss(8000)(preds, target)
    loss_fn = StoiLoss(8000, reduction="mean", on_error="nan")
    with pytest.warns(RuntimeWarning, match="1 of 3 items could not be scored"):
        loss = loss_fn(preds, target)
    kept = [0, 2]
    assert same_bits(loss.item(), float(-torch.from_numpy(one_d(preds[kept], target[kept])).mean()))
    loss.backward()
    assert not preds.grad[1].any() and preds.grad[kept].abs().sum(dim=1).gt(0).all()
    with pytest.warns(RuntimeWarning):
        assert torch.isnan(StoiLoss(8000, on_error="nan")(preds, target)[1])
    single = preds.detach().float().requires_grad_()  # its gradient made in float32
    with pytest.warns(RuntimeWarning):
        StoiLoss(8000, reduction="sum", on_error="nan")(single, target.float()).backward()
    assert not single.grad[1].any() and single.grad[kept].abs().sum(dim=1).gt(0).all()
    metric = StoiMetric(8000, on_error="nan")
    with pytest.warns(RuntimeWarning):
        metric.update(preds, target)
    assert (int(metric.count), metric.failed) == (2, 1)
    with pytest.raises(kelvor_stoi.SilentError):
        StoiMetric(8000).update(preds, target)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p, t: stoi(p, t.requires_grad_(), 8000), ValueError, "target.detach()"),
        (lambda p, t: stoi(p.numpy(), t, 8000), TypeError, "preds: expected a tensor"),
        (lambda p, t: stoi(p, t, 8000, lengths=torch.tensor([1.5])), ValueError, "whole numbers"),
        (lambda p, t: StoiLoss(8000, reduction="max"), ValueError, "reduction"),
        (lambda p, t: StoiLoss(8000, on_error="skip"), ValueError, "on_error"),
        (lambda p, t: StoiMetric(8000, unequal="cut"), ValueError, "unequal"),
        (lambda p, t: StoiMetric(8000).compute(), RuntimeError, "no item"),
        (lambda p, t: StoiMetric(8000).merge(StoiMetric(16000)), ValueError, "same rate"),
    ],
)
def test_arguments_that_cannot_be_used(call, error, message):
    preds, target = pairs(1)
    with pytest.raises(error, match=message):
        call(preds, target)


def test_lengths_leave_the_padding_out_of_the_loss_and_the_metric():
    """One length per row of a (batch, n_src, time) batch; the padding is
    noise that would change every score."""
    preds, target = pairs(4)
    lengths = torch.tensor([CROP, 6000])
    p, t = preds.reshape(2, 2, CROP).clone(), target.reshape(2, 2, CROP).clone()
    p[1, :, 6000:] = torch.randn(2, CROP - 6000, dtype=torch.float64)
    t[1, :, 6000:] = 0.0
    p.requires_grad_()
    expected = np.array([[kelvor_stoi.stoi(t[i, j, :n].numpy(), p[i, j, :n].detach().numpy(), 8000) for j in range(2)]
                         for i, n in enumerate(lengths.tolist())])
    loss = StoiLoss(8000)(p, t, lengths)
    assert np.array_equal(-loss.detach().numpy(), expected)
    loss.sum().backward()
    assert not p.grad[1, :, 6000:].any() and p.grad[1, :, :6000].any()
    metric = StoiMetric(8000)
    metric.update(p, t, lengths)
    assert int(metric.count) == 4 and float(metric.sum) == sum(expected.ravel().tolist())


@pytest.mark.parametrize("unequal", ["pad", "trim"])
@pytest.mark.parametrize("cut", ["preds", "target"])
def test_signals_of_different_lengths(unequal, cut):
    preds, target = pairs(2)
    if cut == "preds":
        preds = preds[:, :7900]
    else:
        target = target[:, :7900]
    preds.requires_grad_()
    with pytest.raises(kelvor_stoi.LengthMismatchError, match=r"^item 0 of the batch: .*unequal="):
        stoi(preds, target, 8000)
    value = StoiLoss(8000, unequal=unequal)(preds, target)
    expected = [kelvor_stoi.stoi(target[i].numpy(), preds[i].detach().numpy(), 8000, unequal=unequal) for i in range(2)]
    assert (-value).tolist() == expected
    value.sum().backward()
    assert preds.grad.shape == preds.shape and (cut == "preds" or unequal == "pad" or not preds.grad[:, 7900:].any())
    metric = StoiMetric(8000, unequal=unequal)
    metric.update(preds, target)
    assert float(metric.sum) == expected[0] + expected[1]


def test_metrics_of_several_processes_merge():
    preds, target = pairs(4)
    whole, first, second = StoiMetric(8000), StoiMetric(8000), StoiMetric(8000)
    whole.update(preds, target)
    first.update(preds[:2], target[:2])
    second.update(preds[2:], target[2:])
    assert int(first.merge(second).count) == 4
    assert torch.allclose(first.compute(), whole.compute(), rtol=1e-15)
    first.reset()
    assert (float(first.sum), int(first.count)) == (0.0, 0)


def test_the_training_example_raises_stoi():
    example = runpy.run_path(str(SOURCE / "examples" / "train_fir.py"), run_name="train_fir")
    before, after = example["train"](steps=20, log=lambda line: None)
    assert after > before + 0.05, (before, after)
